// The DLL's entry points: the class factory of the creatable classes, the embedded type library,
// and self-registration.
#include <mutex>

#include "interface/com/com.h"

namespace vtl::com {

namespace {

HMODULE Module() {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&Module), &self);
  return self;
}

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassInfo& cls) : cls_(cls) { ++g_objects; }
  ~ClassFactory() { --g_objects; }
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      g_used = true;
      return CreateAutomationObject(DispatchObject::Create(cls_.name), riid, out);
    } catch (const DispatchError& e) {
      return e.HResult();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else {
      --g_locks;
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  const ClassInfo& cls_;
};

}  // namespace

GUID GuidOf(const std::string& text) {
  GUID guid = GUID_NULL;
  std::wstring wide(text.begin(), text.end());
  CLSIDFromString(wide.c_str(), &guid);
  return guid;
}

ITypeLib* TypeLibrary() {
  static ITypeLib* library = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(Module(), path, static_cast<DWORD>(std::size(path)));
    if (n == 0 || n >= std::size(path)) return;
    // Kept for the life of the process, as the classes' type information is.
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &library))) library = nullptr;
  });
  return library;
}

bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

}  // namespace vtl::com

using vtl::com::g_locks;
using vtl::com::g_objects;
using vtl::com::g_used;

extern "C" {

HRESULT __stdcall DllGetClassObject(REFCLSID rclsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const vtl::ClassInfo* cls : vtl::AllClasses()) {
    if (!cls->creatable || !IsEqualCLSID(rclsid, vtl::com::GuidOf(cls->clsid))) continue;
    auto* factory = new (std::nothrow) vtl::com::ClassFactory(*cls);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, out);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// The library keeps state for every thread that used it (its loop, its message window), which
// the C runtime tears down when such a thread ends: once it has made an object, the DLL stays.
HRESULT __stdcall DllCanUnloadNow() {
  return g_objects == 0 && g_locks == 0 && !g_used ? S_OK : S_FALSE;
}

// Machine-wide for an elevated administrator, for the current user otherwise.
HRESULT __stdcall DllRegisterServer() {
  return vtl::com::Register(!vtl::com::Elevated());
}

HRESULT __stdcall DllUnregisterServer() {
  return vtl::com::Unregister(!vtl::com::Elevated());
}

// regsvr32 /i:user (with /n, alone) registers for the current user whoever runs it.
HRESULT __stdcall DllInstall(BOOL install, LPCWSTR command) {
  bool perUser = !vtl::com::Elevated();
  if (command && *command) {
    if (_wcsicmp(command, L"user") == 0) {
      perUser = true;
    } else if (_wcsicmp(command, L"machine") == 0) {
      perUser = false;
    } else {
      return E_INVALIDARG;
    }
  }
  return install ? vtl::com::Register(perUser) : vtl::com::Unregister(perUser);
}

}  // extern "C"
