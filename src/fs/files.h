// File-system access used by the message-file functions and the table loaders.
// Everything here only reads; every failure is an Io error carrying the OS text.
#pragma once

#include <string>
#include <vector>

#include "error/bufr_error.h"

namespace norvane::fs {

// The whole file as octets. A path holding a NUL byte fails with
// "file name contained an unexpected NUL byte".
Result<std::string> read_file(const std::string& path);
// As read_file, and the contents must be valid UTF-8 ("stream did not contain valid UTF-8").
Result<std::string> read_text_file(const std::string& path);

// Status queries that follow symbolic links; a failed query is `false`.
bool exists(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);

// Entry names of a directory (without "." and ".."), in the order the system lists them.
Result<std::vector<std::string>> list_directory(const std::string& path);

std::string join(const std::string& dir, const std::string& name);
// The parent of a path ("a/b" -> "a", "b" -> ""); nullopt-like empty result means none.
bool parent(const std::string& path, std::string& out);
// The name without its last extension ("001003.table" -> "001003").
std::string file_stem(const std::string& path);

bool is_valid_utf8(std::string_view text);
// Invalid sequences replaced by U+FFFD, for showing paths and names as text.
std::string lossy_utf8(std::string_view text);

}  // namespace norvane::fs
