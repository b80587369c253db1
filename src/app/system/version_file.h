#pragma once

inline constexpr char kVersionFilePath[] = "/system/opt/version.txt";

// Copies the first line of the version file into the configuration record's version text and
// logs it with the board revision. Returns -1, silently, when the file is missing.
int read_version_file();
