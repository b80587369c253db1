#include "app/config/config_store.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/config/config_crc.h"
#include "app/config/config_keys.h"
#include "app/config/durable_file.h"
#include "app/records/log/app_log.h"

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Lines are read with this limit; a longer line is read as several.
constexpr int kLineLimit = 80;
constexpr uint32_t kCrcFailed = 0xFFFFFFFFu;

void log_error(const char* message) {
  app_log(MOD_CONF_SET, LEVEL_ERR, "%s", message);
}

bool read_u32_le(FILE* file, uint32_t& ret_value) {
  unsigned char bytes[4];
  if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
    return false;
  }
  ret_value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
              static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

void put_u32_le(uint32_t value, unsigned char* ret_bytes) {
  for (int i = 0; i < 4; ++i) {
    ret_bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Checksum of the rest of an open file; kCrcFailed when it cannot be read.
uint32_t checksum_rest(FILE* file) {
  uint32_t crc = 0;
  unsigned char chunk[512];
  std::size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    crc = config_crc32(chunk, got, crc);
  }
  return ferror(file) != 0 ? kCrcFailed : crc;
}

const ConfigKey* find_key(const char* name) {
  for (const ConfigKey& key : kConfigKeys) {
    if (strcmp(key.name, name) == 0) {
      return &key;
    }
  }
  return nullptr;
}

bool all_digits(const char* text) {
  if (*text == '\0') {
    return false;
  }
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
  }
  return true;
}

// Ranges are tested unsigned, so a negative value is always out of range.
bool in_range(long value, const ConfigKey& key) {
  unsigned long tested = static_cast<unsigned long>(value);
  return tested >= key.lowest && tested <= key.highest;
}

// Tests and stores one value. Returns false when the key's rule refuses it (logged).
bool take_value(const ConfigKey& key, const char* text, ConfigFileFields& record) {
  if (key.rule == KeyRule::kText) {
    snprintf(record.encrypt_password, sizeof record.encrypt_password, "%s", text);
    return true;
  }
  long value = strtol(text, nullptr, 10);
  switch (key.rule) {
    case KeyRule::kRange:
      if (!in_range(value, key)) {
        log_error(key.refusal);
        return false;
      }
      break;
    case KeyRule::kNonNegative:
      if (value < 0 || value > INT32_MAX) {
        log_error(key.refusal);
        return false;
      }
      break;
    case KeyRule::kNonZeroIsOne:
      value = value != 0 ? 1 : 0;
      break;
    case KeyRule::kDigitsRange:
      if (!all_digits(text)) {
        app_log(MOD_CONF_SET, LEVEL_ERR, "Config: Invalid value %d for wdLEDStatus",
                static_cast<int>(value));
        return false;
      }
      if (!in_range(value, key)) {
        log_error(key.refusal);
        return false;
      }
      break;
    case KeyRule::kAny:
    case KeyRule::kText:
      break;
  }
  set_config_field(record, key.field, static_cast<int32_t>(value));
  if (key.takenFormat != nullptr) {
    app_log(MOD_CONF_SET, key.takenLevel, key.takenFormat, config_field_value(record, key.field));
  }
  return true;
}

// Replaces `path` whole with `content`; logs as the save does.
int write_config_file(const char* path, const unsigned char* content, std::size_t size) {
  switch (write_file_durably(path, content, size)) {
    case DurableWrite::kDone:
      return 0;
    case DurableWrite::kOpenFailed:
      log_error("Config:Cant open config file");
      return -1;
    case DurableWrite::kWriteFailed:
      break;
  }
  log_error("Config: Failed to write configuration");
  return -1;
}

// A file that failed is rebuilt from the one that loaded.
void repair_from(int good, int bad) {
  if (copy_file_durably(config_file_path(good), config_file_path(bad)) != 0) {
    app_log(MOD_CONF_SET, LEVEL_ERR, "Config: Failed to copy %s to %s", config_file_path(good),
            config_file_path(bad));
  }
}

}  // namespace

const char* config_file_path(int which) {
  return which == CONFIG_BACKUP ? kConfigBackupPath : kConfigPath;
}

int config_check_file(int which) {
  return config_check_path(config_file_path(which));
}

int config_check_path(const char* path) {
  if (access(path, F_OK) != 0) {
    log_error("Config: file not accessible");
    return -1;
  }
  File file(fopen(path, "rb"));
  if (file == nullptr) {
    log_error("Config: cant open file");
    return -1;
  }
  uint32_t magic;
  if (!read_u32_le(file.get(), magic)) {
    log_error("Config: file Magic Number Read Failed");
    return -1;
  }
  if (magic != kConfigMagic) {
    log_error("Config: file Magic Number missmatch");
    return -1;
  }
  uint32_t stored_crc;
  if (!read_u32_le(file.get(), stored_crc)) {
    log_error("Config: failed to read CRC");
    return -1;
  }
  uint32_t crc = checksum_rest(file.get());
  if (crc == kCrcFailed) {
    log_error("Config: failed to calculate CRC");
    return -1;
  }
  if (crc != stored_crc) {
    log_error("Config: file CRC missmatch");
    return -1;
  }
  return 0;
}

int config_parse_file(int which, ConfigFileFields* record) {
  return config_parse_path(config_file_path(which), record);
}

int config_parse_path(const char* path, ConfigFileFields* record) {
  File file(fopen(path, "r"));
  if (file == nullptr) {
    log_error("Cant open config file");
    return -1;
  }
  if (fseek(file.get(), kConfigHeaderSize, SEEK_SET) != 0) {
    log_error("Config file fseek failed");
    return -1;
  }
  char line[kLineLimit];
  while (fgets(line, sizeof line, file.get()) != nullptr) {
    // The last character is the line end (or, for a line longer than the limit, whatever
    // character the limit fell on).
    std::size_t length = strlen(line);
    if (length > 0) {
      line[length - 1] = '\0';
    }
    char* equals = strchr(line, '=');
    if (equals == nullptr) {
      return -1;
    }
    *equals = '\0';
    const ConfigKey* key = find_key(line);
    if (key != nullptr && !take_value(*key, equals + 1, *record)) {
      return -1;
    }
  }
  return 0;
}

namespace {

// Loads the primary, else the backup, else writes the defaults.
void load_into(CameraConfig* record) {
  if (config_check_file(CONFIG_PRIMARY) == 0 && config_parse_file(CONFIG_PRIMARY, record) == 0) {
    if (config_check_file(CONFIG_BACKUP) != 0) {
      repair_from(CONFIG_PRIMARY, CONFIG_BACKUP);
    }
    return;
  }
  log_error("Config: Failed to load primary configuration");
  if (config_check_file(CONFIG_BACKUP) == 0 && config_parse_file(CONFIG_BACKUP, record) == 0) {
    repair_from(CONFIG_BACKUP, CONFIG_PRIMARY);
    return;
  }
  log_error("Config: Failed to load both backup configurations");
  log_error("Config: Creating config files with defaults");
  config_set_defaults(*record);
  if (config_save(record, nullptr, CONFIG_FROM_CAMERA) != 0) {
    log_error("Config: Failed to create config files with defaults");
  }
}

}  // namespace

int config_load(CameraConfig* record) {
  load_into(record);
  if (serverConfig != nullptr) {
    config_copy_fields(*record, *serverConfig);
  }
  return 0;
}

std::size_t config_format_body(const CameraConfig* camera, const ServerConfig* server, int source,
                               char* ret_body) {
  const ConfigFileFields* selected = camera;
  if (source == CONFIG_FROM_SERVER && server != nullptr) {
    selected = server;
  }
  std::size_t length = 0;
  for (const ConfigKey& key : kConfigKeys) {
    const ConfigFileFields* from = key.keptFromCamera ? camera : selected;
    std::size_t room = kConfigBodySize - length;
    int written;
    if (key.rule == KeyRule::kText) {
      written = snprintf(ret_body + length, room, "%s=%s\n", key.name, from->encrypt_password);
    } else {
      written = snprintf(ret_body + length, room, "%s=%d\n", key.name,
                         config_field_value(*from, key.field));
    }
    if (written < 0 || static_cast<std::size_t>(written) >= room) {
      return kConfigBodySize - 1;  // cut where the buffer ends, as one formatted write would
    }
    length += static_cast<std::size_t>(written);
  }
  return length;
}

int config_save(const CameraConfig* camera, const ServerConfig* server, int source) {
  if (source == CONFIG_FROM_SERVER && server == nullptr) {
    log_error("Config:Malloc() failed");
    return -1;
  }
  unsigned char content[kConfigHeaderSize + kConfigBodySize] = {};
  char* body = reinterpret_cast<char*>(content + kConfigHeaderSize);
  std::size_t body_length = config_format_body(camera, server, source, body);

  uint32_t crc = config_crc32(body, body_length);
  if (crc == 0 || crc == kCrcFailed) {
    log_error("Config:CRC Calculation failed");
    return -1;
  }
  put_u32_le(kConfigMagic, content);
  put_u32_le(crc, content + 4);

  // The primary is complete on the medium before the backup is touched, and each is replaced
  // whole: at every moment at least one of them loads.
  const std::size_t size = kConfigHeaderSize + body_length;
  if (write_config_file(kConfigPath, content, size) != 0) {
    return -1;
  }
  app_log(MOD_CONF_SET, LEVEL_INFO, "Config: Successfully saved configuration in file");
  if (write_file_durably(kConfigBackupPath, content, size) != DurableWrite::kDone) {
    log_error("Config: Failed to copy new configuration to backup file");
  }
  return 0;
}

int config_reset_defaults(CameraConfig* record) {
  if (serverConfig == nullptr) {
    log_error("Config:Malloc() failed");
    return -1;
  }
  config_set_defaults(*serverConfig);
  return config_save(record, serverConfig, CONFIG_FROM_SERVER);
}
