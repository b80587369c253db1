// Encryption of a stored media file in place with openssl (AES-128-CBC, password-derived key,
// openssl's "Salted__" format), keeping its name and modification time.
#pragma once

#include <string>
#include <string_view>

// The openssl command for `path` into `folder`_`name`. The password stays one shell word
// whatever bytes it holds: ordinary passwords are put in single quotes as they are, a
// password holding a quote is quoted so that the quote is kept.
std::string encrypt_command(const char* path, std::string_view folder, std::string_view name,
                            std::string_view password);

// Encrypts the file at `path` with the configured password. Returns 0, or 1 on any failure
// (a path without "/" is refused on standard error and nothing changes).
int encrypt_file(const char* path);

// Same with an explicit password.
int encrypt_file_with(const char* path, std::string_view password);
