// The type library embedded in each DLL (the 64-bit one and the 32-bit one, read as data), read
// back through ITypeLib and compared with the interface tables member by member: a member, a
// parameter, a default or an event that differs between what hosts see and what dispatch does is
// found here.
//
// The library's headers come before the system's (see interface/com/com.h).
// clang-format off
#include "interface/typelib.h"

#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using vtl::ClassInfo;
using vtl::VarType;

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; w && *w; ++w) s += static_cast<char>(*w);
  return s;
}

std::string Name(BSTR b) {
  std::string s = Narrow(b);
  SysFreeString(b);
  return s;
}

GUID Guid(const std::string& text) {
  GUID g = GUID_NULL;
  const std::wstring w(text.begin(), text.end());
  CLSIDFromString(w.c_str(), &g);
  return g;
}

std::vector<std::wstring> Libraries() {
  std::vector<std::wstring> paths;
  const char* list = std::getenv("VTL_TYPELIB_DLLS");
  std::string s = list ? list : "";
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t end = s.find(';', at);
    const std::string one = s.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!one.empty()) paths.emplace_back(one.begin(), one.end());
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return paths;
}

// One function of a dispatch interface as the type library describes it.
struct Param {
  std::string name;
  TYPEDESC type;  // with the by-reference pointer taken off
  bool byRef = false;
  bool optional = false;
  bool hasDefault = false;
  VARIANT defaultValue{};
};
struct Func {
  std::string name;
  INVOKEKIND kind;
  TYPEDESC result;
  std::vector<Param> params;
};

std::map<std::pair<MEMBERID, int>, Func> Functions(ITypeInfo* info) {
  std::map<std::pair<MEMBERID, int>, Func> out;
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(i, &fd))) continue;
    // IUnknown's and IDispatch's own members, where a library lists them.
    if (fd->memid >= 0x60000000 && fd->memid < 0x60020000) {
      info->ReleaseFuncDesc(fd);
      continue;
    }
    Func f;
    f.kind = fd->invkind;
    f.result = fd->elemdescFunc.tdesc;
    BSTR names[32] = {};
    UINT count = 0;
    info->GetNames(fd->memid, names, 32, &count);
    f.name = count ? Narrow(names[0]) : "";
    for (SHORT p = 0; p < fd->cParams; ++p) {
      const ELEMDESC& e = fd->lprgelemdescParam[p];
      Param param;
      param.name = static_cast<UINT>(p + 1) < count ? Narrow(names[p + 1]) : "";
      param.type = e.tdesc;
      if (e.tdesc.vt == VT_PTR) {
        param.byRef = true;
        param.type = *e.tdesc.lptdesc;
      }
      const USHORT flags = e.paramdesc.wParamFlags;
      param.byRef = param.byRef && (flags & PARAMFLAG_FOUT);
      param.optional = (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
      param.hasDefault = (flags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex;
      if (param.hasDefault)
        VariantCopy(&param.defaultValue, &e.paramdesc.pparamdescex->varDefaultValue);
      f.params.push_back(param);
    }
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    out[{fd->memid, f.kind}] = f;
    info->ReleaseFuncDesc(fd);
  }
  info->ReleaseTypeAttr(attr);
  return out;
}

INVOKEKIND KindOf(std::int32_t kind) {
  switch (kind) {
    case DISPATCH_PROPERTYGET:
      return INVOKE_PROPERTYGET;
    case DISPATCH_PROPERTYPUT:
      return INVOKE_PROPERTYPUT;
    default:
      return INVOKE_FUNC;
  }
}

// What a parameter or result of a declared type looks like in the library.
std::string Describe(ITypeInfo* owner, const TYPEDESC& t) {
  switch (t.vt) {
    case VT_I4:
      return "Long";
    case VT_I2:
      return "Integer";
    case VT_BOOL:
      return "Boolean";
    case VT_BSTR:
      return "String";
    case VT_VARIANT:
      return "Variant";
    case VT_VOID:
    case VT_EMPTY:
      return "Empty";
    case VT_SAFEARRAY:
      return t.lptdesc->vt == VT_I4 ? "Long()" : t.lptdesc->vt == VT_BSTR ? "String()" : "?()";
    case VT_PTR:
      return Describe(owner, *t.lptdesc);
    case VT_USERDEFINED: {
      ITypeInfo* ref = nullptr;
      if (FAILED(owner->GetRefTypeInfo(t.hreftype, &ref))) return "?";
      TYPEATTR* attr = nullptr;
      ref->GetTypeAttr(&attr);
      // Enumerations travel as Long; an object as the object.
      const std::string d = attr->typekind == TKIND_ENUM ? "Long" : "Object";
      ref->ReleaseTypeAttr(attr);
      ref->Release();
      return d;
    }
    default:
      return "vt" + std::to_string(t.vt);
  }
}

std::string Expected(VarType type) {
  return type == VarType::LongArray     ? "Long()"
         : type == VarType::StringArray ? "String()"
         : type == VarType::Empty       ? "Empty"
                                        : vtl::VarTypeName(type);
}

bool SameDefault(const VARIANT& v, const vtl::Variant& expected) {
  switch (expected.Type()) {
    case VarType::Long:
      return v.vt == VT_I4 && v.lVal == expected.ToLong();
    case VarType::Boolean:
      return v.vt == VT_BOOL && (v.boolVal != VARIANT_FALSE) == expected.ToBoolean();
    case VarType::String:
      return v.vt == VT_BSTR && Narrow(v.bstrVal) == expected.ToString();
    default:
      return false;
  }
}

ITypeInfo* ByGuid(ITypeLib* lib, const std::string& guid) {
  ITypeInfo* info = nullptr;
  lib->GetTypeInfoOfGuid(Guid(guid), &info);
  return info;
}

ITypeInfo* ByName(ITypeLib* lib, const std::string& name) {
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    BSTR n = nullptr;
    lib->GetDocumentation(static_cast<INT>(i), &n, nullptr, nullptr, nullptr);
    if (Name(n) == name) {
      ITypeInfo* info = nullptr;
      lib->GetTypeInfo(i, &info);
      return info;
    }
  }
  return nullptr;
}

TYPEKIND Kind(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  const TYPEKIND k = attr->typekind;
  info->ReleaseTypeAttr(attr);
  return k;
}

void CheckMembers(ITypeLib* lib, const ClassInfo& cls) {
  SCOPED_TRACE(cls.dispInterface);
  ITypeInfo* info = ByGuid(lib, cls.iid);
  ASSERT_TRUE(info);
  EXPECT_EQ(Kind(info), TKIND_DISPATCH);
  BSTR n = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
  EXPECT_EQ(Name(n), cls.dispInterface);
  auto funcs = Functions(info);
  EXPECT_EQ(funcs.size(), cls.members.size());
  for (const vtl::MemberInfo& m : cls.members) {
    SCOPED_TRACE(m.name);
    auto it = funcs.find({m.dispid, KindOf(m.kind)});
    ASSERT_NE(it, funcs.end()) << "no member with DISPID " << std::hex << m.dispid;
    const Func& f = it->second;
    EXPECT_EQ(f.name, m.name);
    const std::string result = Describe(info, f.result);
    EXPECT_EQ(result, m.kind == DISPATCH_PROPERTYPUT ? "Empty" : Expected(m.result));
    ASSERT_EQ(f.params.size(), m.params.size());
    for (std::size_t i = 0; i < m.params.size(); ++i) {
      const vtl::ParamInfo& p = m.params[i];
      const Param& q = f.params[i];
      SCOPED_TRACE(p.name);
      if (m.kind != DISPATCH_PROPERTYPUT) {
        EXPECT_EQ(q.name, p.name);
      }
      EXPECT_EQ(Describe(info, q.type), Expected(p.type));
      // The settings of CommOpen are the one text the IDL compiler cannot give a default to
      // when passed by reference (see vtldllxt.idl); CommOpen never writes them back.
      const bool byValueInLibrary = cls.name == "clsSerial" && m.name == "CommOpen" && i == 1;
      EXPECT_EQ(q.byRef, p.byRef && !byValueInLibrary);
      EXPECT_EQ(q.optional, p.optional);
      if (p.optional && p.defaultValue.Type() != VarType::Missing) {
        ASSERT_TRUE(q.hasDefault);
        EXPECT_TRUE(SameDefault(q.defaultValue, p.defaultValue)) << p.defaultValue.ToString();
      }
    }
  }
  info->Release();

  if (cls.eventIid.empty()) return;
  SCOPED_TRACE(cls.eventInterface);
  ITypeInfo* events = ByGuid(lib, cls.eventIid);
  ASSERT_TRUE(events);
  events->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
  EXPECT_EQ(Name(n), cls.eventInterface);
  auto raised = Functions(events);
  EXPECT_EQ(raised.size(), cls.events.size());
  for (const vtl::EventInfo& e : cls.events) {
    SCOPED_TRACE(e.name);
    auto it = raised.find({e.dispid, INVOKE_FUNC});
    ASSERT_NE(it, raised.end());
    EXPECT_EQ(it->second.name, e.name);
    ASSERT_EQ(it->second.params.size(), e.params.size());
    for (std::size_t i = 0; i < e.params.size(); ++i) {
      EXPECT_EQ(it->second.params[i].name, e.params[i].name);
      EXPECT_TRUE(it->second.params[i].byRef) << "event arguments are ByRef";
      EXPECT_EQ(Describe(events, it->second.params[i].type), Expected(e.params[i].type));
    }
  }
  events->Release();
}

void CheckClass(ITypeLib* lib, const ClassInfo& cls) {
  SCOPED_TRACE(cls.name);
  ITypeInfo* info = ByGuid(lib, cls.clsid);
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_EQ((attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, cls.creatable);
  GUID defaultIid = GUID_NULL, sourceIid = GUID_NULL;
  for (UINT i = 0; i < attr->cImplTypes; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ITypeInfo* impl = nullptr;
    info->GetImplTypeFlags(i, &flags);
    info->GetRefTypeOfImplType(i, &ref);
    if (FAILED(info->GetRefTypeInfo(ref, &impl))) continue;
    TYPEATTR* implAttr = nullptr;
    impl->GetTypeAttr(&implAttr);
    if (flags & IMPLTYPEFLAG_FDEFAULT) {
      ((flags & IMPLTYPEFLAG_FSOURCE) ? sourceIid : defaultIid) = implAttr->guid;
    }
    impl->ReleaseTypeAttr(implAttr);
    impl->Release();
  }
  info->ReleaseTypeAttr(attr);
  BSTR n = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
  EXPECT_EQ(Name(n), cls.name);
  EXPECT_TRUE(IsEqualGUID(defaultIid, Guid(cls.iid)));
  EXPECT_TRUE(IsEqualGUID(sourceIid, cls.eventIid.empty() ? GUID_NULL : Guid(cls.eventIid)));
  info->Release();
  CheckMembers(lib, cls);
}

void CheckEnumerations(ITypeLib* lib) {
  for (const vtl::EnumInfo& e : vtl::Enumerations()) {
    SCOPED_TRACE(e.name);
    ITypeInfo* info = ByName(lib, e.name);
    ASSERT_TRUE(info);
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    EXPECT_EQ(attr->typekind, TKIND_ENUM);
    ASSERT_EQ(attr->cVars, e.values.size());
    for (UINT i = 0; i < attr->cVars; ++i) {
      VARDESC* vd = nullptr;
      info->GetVarDesc(i, &vd);
      BSTR n = nullptr;
      UINT count = 0;
      info->GetNames(vd->memid, &n, 1, &count);
      EXPECT_EQ(Name(n), e.values[i].first);
      EXPECT_EQ(vd->lpvarValue->lVal, e.values[i].second);
      info->ReleaseVarDesc(vd);
    }
    info->ReleaseTypeAttr(attr);
    info->Release();
  }
}

void CheckRecord(ITypeLib* lib) {
  ITypeInfo* info = ByName(lib, "dcbType");
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  EXPECT_EQ(attr->typekind, TKIND_RECORD);
  EXPECT_EQ(attr->cbSizeInstance, sizeof(vtl::dcbType));
  const std::vector<std::pair<std::string, std::size_t>> fields = {
      {"DCBlength", offsetof(vtl::dcbType, DCBlength)},
      {"BaudRate", offsetof(vtl::dcbType, BaudRate)},
      {"fBitFields", offsetof(vtl::dcbType, fBitFields)},
      {"wReserved", offsetof(vtl::dcbType, wReserved)},
      {"XonLim", offsetof(vtl::dcbType, XonLim)},
      {"XoffLim", offsetof(vtl::dcbType, XoffLim)},
      {"ByteSize", offsetof(vtl::dcbType, ByteSize)},
      {"Parity", offsetof(vtl::dcbType, Parity)},
      {"StopBits", offsetof(vtl::dcbType, StopBits)},
      {"XonChar", offsetof(vtl::dcbType, XonChar)},
      {"XoffChar", offsetof(vtl::dcbType, XoffChar)},
      {"ErrorChar", offsetof(vtl::dcbType, ErrorChar)},
      {"EofChar", offsetof(vtl::dcbType, EofChar)},
      {"EvtChar", offsetof(vtl::dcbType, EvtChar)},
      {"wReserved1", offsetof(vtl::dcbType, wReserved1)},
  };
  ASSERT_EQ(attr->cVars, fields.size());
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* vd = nullptr;
    info->GetVarDesc(i, &vd);
    BSTR n = nullptr;
    UINT count = 0;
    info->GetNames(vd->memid, &n, 1, &count);
    EXPECT_EQ(Name(n), fields[i].first);
    EXPECT_EQ(static_cast<std::size_t>(vd->oInst), fields[i].second) << fields[i].first;
    info->ReleaseVarDesc(vd);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();
}

TEST(TypeLibrary, EachDllCarriesTheInterfaceTablesMemberByMember) {
  const auto libraries = Libraries();
  if (libraries.empty()) GTEST_SKIP() << "VTL_TYPELIB_DLLS names no DLL";
  for (const std::wstring& path : libraries) {
    SCOPED_TRACE(Narrow(path.c_str()));
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib), S_OK);
    TLIBATTR* attr = nullptr;
    lib->GetLibAttr(&attr);
    EXPECT_TRUE(IsEqualGUID(attr->guid, Guid("{6C0B5E00-3A2F-4D8B-9E61-7F2A0C1D5B01}")));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(attr);
    BSTR n = nullptr;
    lib->GetDocumentation(-1, &n, nullptr, nullptr, nullptr);
    EXPECT_EQ(Name(n), "vtldllxt");
    for (const ClassInfo* cls : vtl::AllClasses()) CheckClass(lib, *cls);
    CheckEnumerations(lib);
    CheckRecord(lib);
    lib->Release();
  }
}

}  // namespace
