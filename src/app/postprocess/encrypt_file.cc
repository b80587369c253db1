#include "app/postprocess/encrypt_file.h"

#include <cstdio>
#include <cstring>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

std::string encrypt_command(const char* path, std::string_view folder, std::string_view name,
                            std::string_view password) {
  std::string command = "openssl enc -aes-128-cbc -in \"";
  command += path;
  command += "\" -out \"";
  command += folder;
  command += "_";
  command += name;
  command += "\" -pass pass:";
  command += shell_quote(password);
  return command;
}

int encrypt_file(const char* path) {
  char password[kPasswordSize + 1] = {};
  {
    SemLock lock(&configLock);
    std::memcpy(password, cameraConfig->encrypt_password, kPasswordSize);
  }
  return encrypt_file_with(path, std::string_view(password, strnlen(password, kPasswordSize)));
}

int encrypt_file_with(const char* path, std::string_view password) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::fprintf(stderr, "Invalid path: %s\n", path);
    return 1;
  }
  const std::string_view folder(path, static_cast<std::size_t>(slash - path + 1));
  const std::string_view name(slash + 1);
  const std::string command = encrypt_command(path, folder, name, password);
  if (command.size() >= kShellCommandSize || run_shell(command.c_str()) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Failed to execute openssl command");
    return 1;
  }
  const int folderLength = static_cast<int>(folder.size());
  if (run_shellf("touch -d \"$(date -r \"%s\" +\"%%Y-%%m-%%d %%H:%%M:%%S\")\" \"%.*s_%s\" ", path,
                 folderLength, folder.data(), name.data()) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Failed to execute date command");
    return 1;
  }
  if (run_shellf("mv %.*s_%s %s ", folderLength, folder.data(), name.data(), path) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Failed to execute move command");
    return 1;
  }
  return 0;
}
