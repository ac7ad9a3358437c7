// The automation server: the library's dispatch objects behind IDispatch, their events through
// connection points, and the class factory and registration of the DLL.
//
// The library's headers come before the system's: these define S_OK, TRUE, `interface` and more
// as macros, which must not reach the library's own declarations. Code here uses the system's
// names only (S_OK is the system's macro, never vtl::S_OK).
#pragma once

// clang-format off
#include "interface/dispatch.h"
#include "interface/errors.h"
#include "interface/text.h"
#include "interface/typelib.h"
#include "interface/variant.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
// clang-format on

#include <atomic>
#include <memory>
#include <string>

namespace vtl::com {

// Objects and locks alive in the process; the DLL may go only when both are none.
extern std::atomic<long> g_objects;
extern std::atomic<long> g_locks;
// Set once an object has been made: the library then keeps state of the threads that used it,
// and stays loaded for the life of the process.
extern std::atomic<bool> g_used;

// The type library embedded in this DLL, loaded once.
ITypeLib* TypeLibrary();
GUID GuidOf(const std::string& text);

// A new automation object over a library object; `riid` as QueryInterface takes it.
HRESULT CreateAutomationObject(std::shared_ptr<DispatchObject> object, REFIID riid, void** out);
// The same, as the IDispatch a VARIANT carries (owned by the caller), or null.
IDispatch* WrapObject(std::shared_ptr<DispatchObject> object);
// The library object behind an IDispatch of this server, or null for anyone else's.
std::shared_ptr<DispatchObject> Unwrap(IDispatch* dispatch);

// Text between automation strings (UTF-16) and the library's Windows-1252 bytes.
std::string FromWide(const OLECHAR* text, std::size_t length);
BSTR ToBstr(const std::string& ansi);

// A caller's argument as the library's variant, read in the light of the declared type (an
// array becomes a Long() or String() list). Throws vtl::DispatchError.
Variant FromVariant(const VARIANT& v, VarType declared);
// A library value into an empty VARIANT.
HRESULT ToVariant(const Variant& value, VARIANT* out);
// What a member left in a ByRef argument, into the caller's variable of its own type.
void WriteBack(VARIANT& target, const Variant& value, const Variant& before);

// Registration (registry.cpp): under HKEY_LOCAL_MACHINE or the user's own HKEY_CURRENT_USER.
HRESULT Register(bool perUser);
HRESULT Unregister(bool perUser);
// Whether this process may write the machine's classes (an elevated administrator).
bool Elevated();

}  // namespace vtl::com
