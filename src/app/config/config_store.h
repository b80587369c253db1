// The camera configuration file and its backup on the configuration partition.
//
// File layout: the magic number 0xABCD1234 and the checksum of the body (both 32-bit,
// little-endian), then the body: one key=value line per key, in the order of kConfigKeys.
// Every operation here runs with configLock held by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/config/camera_config.h"

inline constexpr char kConfigPath[] = "/config/cam.cfg";
inline constexpr char kConfigBackupPath[] = "/config/cam_backup.cfg";
inline constexpr uint32_t kConfigMagic = 0xABCD1234u;
inline constexpr std::size_t kConfigHeaderSize = 8;
// The body is formatted into a buffer of this size, so it is at most one byte shorter.
inline constexpr std::size_t kConfigBodySize = 1024;

// Which file: the primary or its backup.
enum ConfigFile : int {
  CONFIG_PRIMARY = 0,
  CONFIG_BACKUP = 1,
};

// Which record a save takes its values from.
enum ConfigSource : int {
  CONFIG_FROM_CAMERA = 0,
  // The server's record, except instantModeActive and orve_model, which stay the camera's.
  CONFIG_FROM_SERVER = 1,
};

const char* config_file_path(int which);

// True when the mount listing shows the configuration partition (mtdblock6).
bool config_partition_mounted();

// Header and checksum test of one file. Returns 0, or -1 (logged) when it fails.
int config_check_file(int which);

// Reads the body of one file into `record`. Returns 0, or -1 when a line has no "=" or a value
// is refused (logged); values read before the failing line stay in the record.
int config_parse_file(int which, ConfigFileFields* record);

// The same two steps for a file at another path.
int config_check_path(const char* path);
int config_parse_path(const char* path, ConfigFileFields* record);

// Loads the primary file, else the backup, else writes the defaults to both files; repairs
// the file that failed from the one that loaded. The server's record, when there is one,
// starts as a copy of what was loaded, so that a save from it keeps every value the server
// does not send. Always returns 0.
int config_load(CameraConfig* record);

// Writes the primary file from the selected record, then the backup as its copy. Each file is
// replaced whole (see durable_file.h), so a power cut at any moment leaves a loadable file.
// Returns 0, or -1 when the primary could not be written (a failed backup copy is logged
// and still counts as saved).
int config_save(const CameraConfig* camera, const ServerConfig* server, int source);

// Writes the default values into the server's record and saves from it (factory reset).
int config_reset_defaults(CameraConfig* record);

// Formats the file body from the selected record into `ret_body` (kConfigBodySize bytes).
// Returns the body's length.
std::size_t config_format_body(const CameraConfig* camera, const ServerConfig* server, int source,
                               char* ret_body);
