// Self-registration: the classes (ProgID, in-process server, apartment threading), their dispatch
// and event interfaces (marshalled by the system's automation marshaller) and the type library,
// under HKEY_LOCAL_MACHINE\Software\Classes or, for one user, HKEY_CURRENT_USER\Software\Classes.
// Every key is written by name, so the per-user registration holds everything the machine-wide
// one does.
#include <string>
#include <vector>

#include "interface/com/com.h"

namespace vtl::com {

namespace {

const wchar_t kLibId[] = L"{6C0B5E00-3A2F-4D8B-9E61-7F2A0C1D5B01}";
const wchar_t kLibVersion[] = L"1.0";
const wchar_t kLibName[] = L"vtldllxt";
// The system's marshaller for dispatch interfaces.
const wchar_t kDispatchMarshaller[] = L"{00020420-0000-0000-C000-000000000046}";

std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

HKEY Root(bool perUser) {
  return perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// Writes a key's default value (or a named one); creates the key on the way.
LSTATUS Set(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  const std::wstring path = L"Software\\Classes\\" + key;
  LSTATUS rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

LSTATUS Delete(HKEY root, const std::wstring& key) {
  const std::wstring path = L"Software\\Classes\\" + key;
  const LSTATUS rc = RegDeleteTreeW(root, path.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    RegDeleteKeyW(root, path.c_str());
    return ERROR_SUCCESS;
  }
  return rc;
}

std::wstring ModulePath() {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ModulePath), &self);
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) return std::wstring(path.data(), n);
    path.resize(path.size() * 2);
  }
}

std::wstring ProgId(const ClassInfo& cls) {
  return L"vtldllxt." + Wide(cls.name);
}

struct Interface {
  std::string iid;
  std::string name;
};

std::vector<Interface> Interfaces() {
  std::vector<Interface> list;
  for (const ClassInfo* cls : AllClasses()) {
    list.push_back({cls->iid, cls->dispInterface});
    if (!cls->eventIid.empty()) list.push_back({cls->eventIid, cls->eventInterface});
  }
  return list;
}

HRESULT Result(LSTATUS rc) {
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace

HRESULT Register(bool perUser) {
  const HKEY root = Root(perUser);
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  LSTATUS rc = ERROR_SUCCESS;
  auto set = [&](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    if (rc == ERROR_SUCCESS) rc = Set(root, key, name, value);
  };

  // The type library.
  const std::wstring lib = std::wstring(L"TypeLib\\") + kLibId + L"\\" + kLibVersion;
  set(lib, nullptr, kLibName);
  set(lib + L"\\0\\" + (sizeof(void*) == 8 ? L"win64" : L"win32"), nullptr, path);
  set(lib + L"\\FLAGS", nullptr, L"0");
  set(lib + L"\\HELPDIR", nullptr, folder);
  if (rc != ERROR_SUCCESS) return SELFREG_E_TYPELIB;

  // The interfaces: dispatch interfaces, marshalled by the system from the type library.
  for (const Interface& i : Interfaces()) {
    const std::wstring key = L"Interface\\" + Wide(i.iid);
    set(key, nullptr, Wide(i.name));
    set(key + L"\\ProxyStubClsid", nullptr, kDispatchMarshaller);
    set(key + L"\\ProxyStubClsid32", nullptr, kDispatchMarshaller);
    set(key + L"\\TypeLib", nullptr, kLibId);
    set(key + L"\\TypeLib", L"Version", kLibVersion);
  }

  // The creatable classes.
  for (const ClassInfo* cls : AllClasses()) {
    if (!cls->creatable) continue;
    const std::wstring progId = ProgId(*cls);
    const std::wstring clsid = L"CLSID\\" + Wide(cls->clsid);
    set(clsid, nullptr, progId);
    set(clsid + L"\\InprocServer32", nullptr, path);
    set(clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    set(clsid + L"\\ProgID", nullptr, progId);
    set(clsid + L"\\VersionIndependentProgID", nullptr, progId);
    set(clsid + L"\\TypeLib", nullptr, kLibId);
    set(clsid + L"\\Version", nullptr, kLibVersion);
    set(clsid + L"\\Programmable", nullptr, L"");
    set(progId, nullptr, progId);
    set(progId + L"\\CLSID", nullptr, Wide(cls->clsid));
  }
  if (rc != ERROR_SUCCESS) {
    Unregister(perUser);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT Unregister(bool perUser) {
  const HKEY root = Root(perUser);
  LSTATUS rc = ERROR_SUCCESS;
  auto remove = [&](const std::wstring& key) {
    const LSTATUS r = Delete(root, key);
    if (rc == ERROR_SUCCESS) rc = r;
  };
  for (const ClassInfo* cls : AllClasses()) {
    if (!cls->creatable) continue;
    remove(L"CLSID\\" + Wide(cls->clsid));
    remove(ProgId(*cls));
  }
  for (const Interface& i : Interfaces()) remove(L"Interface\\" + Wide(i.iid));
  remove(std::wstring(L"TypeLib\\") + kLibId + L"\\" + kLibVersion);
  // The library's key goes once no other version is left under it.
  const std::wstring libKey = std::wstring(L"Software\\Classes\\TypeLib\\") + kLibId;
  RegDeleteKeyW(root, libKey.c_str());
  return Result(rc);
}

}  // namespace vtl::com
