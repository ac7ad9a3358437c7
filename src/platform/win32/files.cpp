// Small file-system queries and the private working folder on the system's file calls.
#include "platform/files.h"

#include "platform/win32/system.h"

namespace vtl::platform {

namespace {

constexpr DWORD ERROR_PATH_NOT_FOUND = 3;

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A regular file (never a link, a folder or a device), opened without following a link and not
// inherited by child processes.
::HANDLE OpenPlain(const std::string& path, ::DWORD access, ::DWORD disposition) {
  ::HANDLE h =
      ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == reinterpret_cast<::HANDLE>(static_cast<std::intptr_t>(-1))) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) || IsLink(info.dwFileAttributes) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return h;
}

bool WriteAll(::HANDLE h, const char* data, std::size_t length) {
  while (length > 0) {
    ::DWORD n = 0;
    const auto chunk = static_cast<::DWORD>(std::min<std::size_t>(length, 1u << 20));
    if (!::WriteFile(h, data, chunk, &n, nullptr) || n == 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

}  // namespace

bool IsRegularFile(const std::string& path) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) &&
         !(a & FILE_ATTRIBUTE_DEVICE);
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& content) {
  content.clear();
  ::HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == reinterpret_cast<::HANDLE>(static_cast<std::intptr_t>(-1))) return false;
  LARGE_INTEGER size{};
  bool ok = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileSizeEx(h, &size) &&
            static_cast<std::uint64_t>(size.QuadPart) <= limit;
  if (ok) {
    content.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    while (got < content.size()) {
      ::DWORD n = 0;
      if (!::ReadFile(h, content.data() + got, static_cast<::DWORD>(content.size() - got), &n,
                      nullptr) ||
          n == 0) {
        break;
      }
      got += n;
    }
    content.resize(got);
    // A file that grew while being read is over the limit all the same.
    char extra;
    ::DWORD n = 0;
    if (::ReadFile(h, &extra, 1, &n, nullptr) && n > 0) ok = false;
  }
  ::CloseHandle(h);
  return ok;
}

std::string PrivateFolder() {
  // The user's own temporary folder is closed to other users; ours lives inside it.
  char temp[MAX_PATH + 1] = {};
  const ::DWORD n = ::GetTempPathA(sizeof temp, temp);
  if (n == 0 || n > MAX_PATH) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return "";
  }
  std::string folder = std::string(temp, n);
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  folder += "vtldllxt";
  if (!::CreateDirectoryA(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    SetLastError(::GetLastError() == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                          : ::GetLastError());
    return "";
  }
  const DWORD a = ::GetFileAttributesA(folder.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || IsLink(a)) {
    // A link or a file where the folder should be: nothing of ours goes there.
    SetLastError(ERROR_ACCESS_DENIED);
    return "";
  }
  return folder;
}

bool CreateNewFile(const std::string& path) {
  ::HANDLE h = OpenPlain(path, GENERIC_WRITE, CREATE_NEW);
  if (!h) {
    if (::GetLastError() == ERROR_ALREADY_EXISTS) SetLastError(ERROR_FILE_EXISTS);
    return false;
  }
  ::CloseHandle(h);
  return true;
}

bool AppendToFile(const std::string& path, const std::string& bytes) {
  ::HANDLE h = OpenPlain(path, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (!h) return false;
  const bool ok = WriteAll(h, bytes.data(), bytes.size());
  ::CloseHandle(h);
  return ok;
}

bool ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t length,
                   std::string& out) {
  out.clear();
  ::HANDLE h = OpenPlain(path, GENERIC_READ, OPEN_EXISTING);
  if (!h) return false;
  out.resize(length);
  std::size_t got = 0;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (::SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) {
    while (got < length) {
      ::DWORD n = 0;
      if (!::ReadFile(h, out.data() + got, static_cast<::DWORD>(length - got), &n, nullptr) ||
          n == 0) {
        break;
      }
      got += n;
    }
  }
  out.resize(got);
  ::CloseHandle(h);
  return true;
}

bool OverwriteFileStart(const std::string& path, const std::string& bytes) {
  ::HANDLE h = OpenPlain(path, GENERIC_WRITE, OPEN_ALWAYS);
  if (!h) return false;
  const bool ok = WriteAll(h, bytes.data(), bytes.size());
  ::CloseHandle(h);
  return ok;
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return -1;
  }
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
}

void RemoveFile(const std::string& path) {
  if (!path.empty()) ::DeleteFileA(path.c_str());
}

}  // namespace vtl::platform
