// Small file-system queries the commands need.
#pragma once

#include <cstddef>
#include <string>

namespace vtl::platform {

// True for an existing regular file (not a folder or a device).
bool IsRegularFile(const std::string& path);
// Reads a whole regular file of at most `limit` bytes; false if it cannot be read or is larger.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& content);

}  // namespace vtl::platform
