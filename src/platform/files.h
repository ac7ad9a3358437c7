// Small file-system queries the commands need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtl::platform {

// True for an existing regular file (not a folder or a device).
bool IsRegularFile(const std::string& path);
// Reads a whole regular file of at most `limit` bytes; false if it cannot be read or is larger.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& content);

// The calling user's own folder for the library's working files, created when first asked for:
// `$XDG_RUNTIME_DIR/vtldllxt` where that is set, else `vtldllxt-UID` in the temporary directory.
// It is used only if it is a real folder (not a link), owned by this user, and open to nobody
// else (created 0700; an existing one with wider rights is refused, never changed). Empty, with
// the reason in GetLastError (ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND), when it cannot be used.
std::string PrivateFolder();

// Files inside such a folder. None of them follows a symbolic link (a link where a name is
// expected is refused with ERROR_ACCESS_DENIED), and none is inherited by child processes.
// Creates a file that must not exist yet (0600); false when it does, or cannot be made.
bool CreateNewFile(const std::string& path);
// Appends to a regular file, creating it (0600) when missing.
bool AppendToFile(const std::string& path, const std::string& bytes);
// Up to `length` bytes from `offset` on; false when the file cannot be read.
bool ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t length,
                   std::string& out);
// Writes `bytes` at the start of a regular file, creating it (0600) when missing; what the file
// held beyond them stays.
bool OverwriteFileStart(const std::string& path, const std::string& bytes);
// The size of a regular file, or -1.
std::int64_t FileSize(const std::string& path);
// Removes a name (a link is removed itself, never what it points to).
void RemoveFile(const std::string& path);

}  // namespace vtl::platform
