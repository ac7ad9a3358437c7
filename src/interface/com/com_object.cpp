// One automation object: IDispatch over the library's dispatch object, its events through a
// connection point, its class through IProvideClassInfo2, its errors through ISupportErrorInfo.
//
// Late binding is all there is: the dispatch interfaces have no vtable of their own, so a host
// that binds early calls Invoke by DISPID just the same. Arguments arrive as the host made them
// (VBScript passes its variables ByRef as Variants, Visual Basic typed references, .NET typed
// values) and are read the way Visual Basic reads them; what a member leaves in a ByRef
// argument goes back into the caller's variable, in the variable's own type.
#include <map>
#include <vector>

#include "interface/com/com.h"

namespace vtl::com {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<bool> g_used{false};

namespace {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string Name(const OLECHAR* name) {
  return name ? FromWide(name, wcslen(name)) : std::string();
}

// The parameters of a member, whichever kind of it has them.
const std::vector<ParamInfo>* ParamsOf(const ClassInfo& cls, DISPID dispid) {
  const std::vector<ParamInfo>* found = nullptr;
  for (const auto& m : cls.members) {
    if (m.dispid != dispid) continue;
    if (!found || m.params.size() > found->size()) found = &m.params;
  }
  return found;
}

// The error a host sees for a failure raised inside a member: Visual Basic's convention puts
// the error number in the low word of a FACILITY_CONTROL code.
HRESULT ControlCode(std::int32_t number) {
  if (number > 0 && number <= 0xFFFF) {
    return static_cast<HRESULT>(0x800A0000u | static_cast<std::uint32_t>(number));
  }
  return number < 0 ? static_cast<HRESULT>(number) : E_FAIL;
}

void SetError(const GUID& iid, const std::string& source, const std::string& description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  BSTR s = ToBstr(source);
  BSTR d = ToBstr(description);
  create->SetGUID(iid);
  create->SetSource(s);
  create->SetDescription(d);
  SysFreeString(s);
  SysFreeString(d);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

class AutomationObject;

// The connection point of the class's event interface.
class EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(AutomationObject& owner) : owner_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

 private:
  AutomationObject& owner_;
};

class AutomationObject final : public IDispatch,
                               public IConnectionPointContainer,
                               public IProvideClassInfo2,
                               public ISupportErrorInfo {
 public:
  explicit AutomationObject(std::shared_ptr<DispatchObject> object)
      : object_(std::move(object)),
        cls_(object_->Class()),
        clsid_(GuidOf(cls_.clsid)),
        iid_(GuidOf(cls_.iid)),
        eventIid_(cls_.eventIid.empty() ? GUID_NULL : GuidOf(cls_.eventIid)),
        point_(*this) {
    ++g_objects;
  }
  ~AutomationObject() {
    for (const auto& [cookie, inner] : sinks_) object_->Disconnect(inner);
    --g_objects;
  }
  AutomationObject(const AutomationObject&) = delete;
  AutomationObject& operator=(const AutomationObject&) = delete;

  const std::shared_ptr<DispatchObject>& Object() const { return object_; }
  bool HasEvents() const { return !IsEqualGUID(eventIid_, GUID_NULL); }
  const GUID& EventIid() const { return eventIid_; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, iid_)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer) && HasEvents()) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo) ||
               IsEqualIID(riid, IID_IProvideClassInfo2)) {
      *out = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else if (IsEqualIID(riid, kSelf)) {
      *out = this;  // how Unwrap knows the server's own objects; not an interface
      AddRef();
      return S_OK;
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeLib* lib = TypeLibrary();
    return lib ? lib->GetTypeInfoOfGuid(iid_, out) : TYPE_E_CANTLOADLIBRARY;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    // Names are compared without regard to case, as automation hosts expect.
    const std::int32_t member = cls_.DispIdOf(Name(names[0]));
    ids[0] = member < 0 ? DISPID_UNKNOWN : member;
    if (member < 0) hr = DISP_E_UNKNOWNNAME;
    const std::vector<ParamInfo>* params = member < 0 ? nullptr : ParamsOf(cls_, member);
    for (UINT i = 1; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      const std::string name = Name(names[i]);
      for (std::size_t p = 0; params && p < params->size(); ++p) {
        if (SameName((*params)[p].name, name)) ids[i] = static_cast<DISPID>(p);
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!HasEvents() || !IsEqualIID(riid, eventIid_)) return CONNECT_E_NOCONNECTION;
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    ITypeLib* lib = TypeLibrary();
    return lib ? lib->GetTypeInfoOfGuid(clsid_, out) : TYPE_E_CANTLOADLIBRARY;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override {
    if (!out) return E_POINTER;
    *out = GUID_NULL;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    if (!HasEvents()) return E_FAIL;
    *out = eventIid_;
    return S_OK;
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, iid_) || IsEqualIID(riid, IID_IDispatch) ? S_OK : S_FALSE;
  }

  // Connections: each sink becomes a callback of the library object, called in connection order.
  HRESULT Connect(IUnknown* sink, DWORD* cookie);
  HRESULT Disconnect(DWORD cookie);

  // An identity no interface has, for telling the server's own objects from others'.
  static constexpr GUID kSelf = {
      0x6c0b5e7f, 0x3a2f, 0x4d8b, {0x9e, 0x61, 0x7f, 0x2a, 0x0c, 0x1d, 0x5b, 0x01}};

 private:
  HRESULT Fail(const DispatchError& e, EXCEPINFO* excep);

  std::atomic<ULONG> refs_{1};
  std::shared_ptr<DispatchObject> object_;
  const ClassInfo& cls_;
  GUID clsid_;
  GUID iid_;
  GUID eventIid_;
  EventPoint point_;
  std::map<DWORD, int> sinks_;  // cookie given to the host -> the library object's
  DWORD nextCookie_ = 1;
};

HRESULT AutomationObject::Fail(const DispatchError& e, EXCEPINFO* excep) {
  const HRESULT hr = e.HResult();
  if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL ||
      hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == RPC_E_WRONG_THREAD) {
    return hr;
  }
  // Raised by the member itself (or not provided by this build): number, text and source go to
  // the host in EXCEPINFO, and to hosts that ask for it through the error object.
  if (excep) {
    *excep = EXCEPINFO{};
    excep->scode = ControlCode(e.Number());
    excep->bstrSource = ToBstr(e.Source());
    excep->bstrDescription = ToBstr(e.what());
  }
  SetError(iid_, e.Source(), e.what());
  return DISP_E_EXCEPTION;
}

HRESULT AutomationObject::Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (result) VariantInit(result);
  static DISPPARAMS none{};
  if (!params) params = &none;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  std::int32_t kind =
      put ? (flags & DISPATCH_PROPERTYPUTREF ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT)
          : (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET));
  if (kind == 0) return E_INVALIDARG;
  const MemberInfo* member = cls_.Find(dispid, kind);
  if (!member && put && (flags & DISPATCH_PROPERTYPUTREF)) {
    // "Set x.P = v" on a property that holds a value is the same as a plain assignment.
    kind = DISPATCH_PROPERTYPUT;
    member = cls_.Find(dispid, kind);
  }
  if (!member) return DISP_E_MEMBERNOTFOUND;

  // Arguments in declaration order: the positional ones come last to first in rgvarg, the named
  // ones first, each with its position in rgdispidNamedArgs.
  const UINT named = params->cNamedArgs;
  const UINT positional = params->cArgs - named;
  std::vector<int> source;  // position -> index into rgvarg, or -1
  if (put) {
    // The assigned value is the named DISPID_PROPERTYPUT argument (or the last one).
    source.assign(1, 0);
  } else {
    source.assign(positional, -1);
    for (UINT i = 0; i < positional; ++i) source[i] = static_cast<int>(params->cArgs - 1 - i);
    for (UINT k = 0; k < named; ++k) {
      const DISPID position = params->rgdispidNamedArgs[k];
      if (position < 0 || static_cast<std::size_t>(position) >= member->params.size()) {
        if (argErr) *argErr = k;
        return DISP_E_PARAMNOTFOUND;
      }
      if (source.size() <= static_cast<std::size_t>(position)) source.resize(position + 1, -1);
      source[position] = static_cast<int>(k);
    }
  }
  if (put && params->cArgs == 0) return DISP_E_BADPARAMCOUNT;
  if (source.size() > member->params.size()) return DISP_E_BADPARAMCOUNT;

  std::vector<Variant> values(source.size());
  std::vector<Variant> before(source.size());
  std::vector<Variant> args(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] < 0) {
      args[i] = Variant::MissingArg();
      continue;
    }
    const ParamInfo& p = member->params[i];
    VARIANT& given = params->rgvarg[source[i]];
    try {
      values[i] = FromVariant(given, p.type);
      // Checked here as the member will read it, so that the host learns which argument it was.
      if (values[i].Type() != VarType::Missing) {
        switch (p.type) {
          case VarType::Long:
            values[i].ToLong();
            break;
          case VarType::Integer:
            values[i].ToInteger();
            break;
          case VarType::Boolean:
            values[i].ToBoolean();
            break;
          case VarType::String:
            values[i].ToString();
            break;
          case VarType::LongArray:
            values[i].ToLongArray();
            break;
          case VarType::StringArray:
            values[i].ToStringArray();
            break;
          default:
            break;
        }
      }
    } catch (const DispatchError& e) {
      if (argErr) *argErr = static_cast<UINT>(source[i]);
      if (e.Number() == 94)
        return Fail(DispatchError(DISP_E_EXCEPTION, 94, e.what(), cls_.name + "." + member->name),
                    excep);
      return e.HResult() == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    }
    before[i] = values[i];
    const bool byRef = (given.vt & VT_BYREF) != 0;
    args[i] = p.byRef && byRef ? Variant::Ref(values[i]) : values[i];
  }

  // The host may release this object from an event the member raises.
  AddRef();
  const std::shared_ptr<DispatchObject> object = object_;
  HRESULT hr = S_OK;
  try {
    Variant value = object->Invoke(dispid, kind, args);
    for (std::size_t i = 0; i < source.size(); ++i) {
      if (source[i] < 0 || !args[i].IsByRef()) continue;
      WriteBack(params->rgvarg[source[i]], values[i], before[i]);
    }
    if (result && !value.IsEmpty()) hr = ToVariant(value, result);
  } catch (const DispatchError& e) {
    hr = Fail(e, excep);
  } catch (const std::exception& e) {
    hr = Fail(DispatchError(DISP_E_EXCEPTION, 51, std::string("Internal error: ") + e.what(),
                            cls_.name + "." + member->name),
              excep);
  } catch (...) {
    hr = Fail(DispatchError(DISP_E_EXCEPTION, 51, "Internal error", cls_.name + "." + member->name),
              excep);
  }
  Release();
  return hr;
}

// Calls one sink with the event's arguments by reference, and takes back what it assigned.
void CallSink(IDispatch* sink, const EventInfo& event, std::vector<Variant>& args) {
  const std::size_t n = args.size();
  std::vector<LONG> longs(n);
  std::vector<VARIANT_BOOL> bools(n);
  std::vector<VARIANTARG> list(n);
  for (std::size_t i = 0; i < n; ++i) {
    VARIANTARG& v = list[n - 1 - i];  // last to first
    VariantInit(&v);
    const VarType type = i < event.params.size() ? event.params[i].type : VarType::Long;
    try {
      if (type == VarType::Boolean) {
        bools[i] = args[i].ToBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
        v.vt = VT_BYREF | VT_BOOL;
        v.pboolVal = &bools[i];
      } else {
        longs[i] = args[i].ToLong();
        v.vt = VT_BYREF | VT_I4;
        v.plVal = &longs[i];
      }
    } catch (const DispatchError&) {
      v.vt = VT_BYREF | VT_I4;
      v.plVal = &longs[i];
    }
  }
  DISPPARAMS dp{n ? list.data() : nullptr, nullptr, static_cast<UINT>(n), 0};
  EXCEPINFO excep{};
  UINT argErr = 0;
  const HRESULT hr = sink->Invoke(event.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp,
                                  nullptr, &excep, &argErr);
  if (hr == DISP_E_EXCEPTION) {
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const VarType type = i < event.params.size() ? event.params[i].type : VarType::Long;
    args[i] = type == VarType::Boolean ? Variant::Boolean(bools[i] != VARIANT_FALSE)
                                       : Variant::Long(longs[i]);
  }
}

HRESULT AutomationObject::Connect(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  IDispatch* dispatch = nullptr;
  // A sink answers to the event interface; one that only answers IDispatch is taken as well,
  // as script hosts make them.
  if (FAILED(sink->QueryInterface(eventIid_, reinterpret_cast<void**>(&dispatch))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  // The callback holds the sink; it never touches this object, which a sink may release.
  std::shared_ptr<IDispatch> held(dispatch, [](IDispatch* d) { d->Release(); });
  try {
    const int inner = object_->Connect([held](const EventInfo& event, std::vector<Variant>& args) {
      CallSink(held.get(), event, args);
    });
    const DWORD c = nextCookie_++;
    sinks_[c] = inner;
    *cookie = c;
    return S_OK;
  } catch (const DispatchError& e) {
    return e.HResult();
  }
}

HRESULT AutomationObject::Disconnect(DWORD cookie) {
  auto it = sinks_.find(cookie);
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  const int inner = it->second;
  sinks_.erase(it);
  try {
    object_->Disconnect(inner);
  } catch (const DispatchError& e) {
    return e.HResult();
  }
  return S_OK;
}

HRESULT EventPoint::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}
// The point lives and dies with its object.
ULONG EventPoint::AddRef() {
  return owner_.AddRef();
}
ULONG EventPoint::Release() {
  return owner_.Release();
}
HRESULT EventPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = owner_.EventIid();
  return S_OK;
}
HRESULT EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = static_cast<IConnectionPointContainer*>(&owner_);
  owner_.AddRef();
  return S_OK;
}
HRESULT EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  return owner_.Connect(sink, cookie);
}
HRESULT EventPoint::Unadvise(DWORD cookie) {
  return owner_.Disconnect(cookie);
}
HRESULT EventPoint::EnumConnections(IEnumConnections** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

}  // namespace

HRESULT CreateAutomationObject(std::shared_ptr<DispatchObject> object, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!object) return E_UNEXPECTED;
  auto* created = new (std::nothrow) AutomationObject(std::move(object));
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(riid, out);
  created->Release();
  return hr;
}

IDispatch* WrapObject(std::shared_ptr<DispatchObject> object) {
  void* out = nullptr;
  if (FAILED(CreateAutomationObject(std::move(object), IID_IDispatch, &out))) return nullptr;
  return static_cast<IDispatch*>(out);
}

std::shared_ptr<DispatchObject> Unwrap(IDispatch* dispatch) {
  if (!dispatch) return nullptr;
  void* self = nullptr;
  if (FAILED(dispatch->QueryInterface(AutomationObject::kSelf, &self)) || !self) return nullptr;
  auto* object = static_cast<AutomationObject*>(self);
  auto result = object->Object();
  object->Release();
  return result;
}

}  // namespace vtl::com
