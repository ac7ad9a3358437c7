#include "interface/dispatch.h"

#include "objects/prnport.h"
#include "objects/serial_port.h"
#include "platform/loop.h"

namespace vtl {

namespace {

std::string MemberLabel(const ClassInfo& cls, const MemberInfo& m) {
  return cls.name + "." + m.name;
}

// A value in a declared type, as a ByRef argument of that type holds it.
Variant InDeclaredType(const Variant& v, VarType type) {
  switch (type) {
    case VarType::Long:
      return Variant::Long(v.ToLong());
    case VarType::Integer:
      return Variant::Integer(v.ToInteger());
    case VarType::Boolean:
      return Variant::Boolean(v.ToBoolean());
    case VarType::String:
      return v.Target().Type() == VarType::Bytes ? Variant::ByteString(v.ToString())
                                                 : Variant::String(v.ToString());
    default:
      return v.Target();
  }
}

// After a callback, event arguments keep their declared types, as typed ByRef arguments do: a
// value that does not convert (an overflow, text that is no number) leaves the argument as it
// was, and a callback that resized the list gets the old list back.
void KeepDeclaredTypes(const EventInfo& event, const std::vector<Variant>& before,
                       std::vector<Variant>& args) {
  if (args.size() != before.size()) args = before;
  for (std::size_t i = 0; i < args.size() && i < event.params.size(); ++i) {
    try {
      args[i] = InDeclaredType(args[i], event.params[i].type);
    } catch (const DispatchError&) {
      args[i] = before[i];
    }
  }
}

}  // namespace

// Turns the port's events into events by DISPID. Event arguments are the raising procedure's own
// values: what a callback assigns to them is copied back before the procedure goes on.
class DispatchObject::PrnPortEvents : public __clsPrnPort {
 public:
  explicit PrnPortEvents(DispatchObject& owner) : owner_(owner) {}

  void DatosImpresos(std::int32_t& c) override { Fire(kEvDatosImpresos, c); }
  void NuevoEstado(bool& e, bool& p) override { Fire(kEvNuevoEstado, e, p); }
  void NuevasPropiedades(std::int32_t& p) override { Fire(kEvNuevasPropiedades, p); }
  void LoopPruebas() override { Fire(kEvLoopPruebas); }
  void LogoGrabado(std::int32_t& c) override { Fire(kEvLogoGrabado, c); }
  void Uploading(std::int32_t& q, std::int32_t& t) override { Fire(kEvUploading, q, t); }
  void DatosSerial(std::int32_t& c) override { Fire(kEvDatosSerial, c); }
  void EstadoCajon(bool& a) override { Fire(kEvEstadoCajon, a); }
  void EstadoOnLlineOffLine(bool& o) override { Fire(kEvEstadoOnLlineOffLine, o); }

 private:
  static Variant ToVariant(std::int32_t v) { return Variant::Long(v); }
  static Variant ToVariant(bool v) { return Variant::Boolean(v); }
  static void Back(const Variant& from, std::int32_t& to) {
    try {
      to = from.ToLong();
    } catch (const DispatchError&) {
      // A value that does not fit the argument leaves it as it was.
    }
  }
  static void Back(const Variant& from, bool& to) {
    try {
      to = from.ToBoolean();
    } catch (const DispatchError&) {
    }
  }

  template <typename... T>
  void Fire(std::int32_t dispid, T&... values) {
    // The owner may be released by a callback; keep it until this event is done with it.
    auto keep = owner_.weak_from_this().lock();
    if (!keep) return;
    std::vector<Variant> args{ToVariant(values)...};
    owner_.Fire(dispid, args);
    std::size_t i = 0;
    (Back(args[i++], values), ...);
  }

  DispatchObject& owner_;
};

class DispatchObject::SerialEvents : public __clsSerial {
 public:
  explicit SerialEvents(DispatchObject& owner) : owner_(owner) {}
  void DataIn(std::int32_t& n) override { Fire(kEvDataIn, n); }
  void DataOut(std::int32_t& n) override { Fire(kEvDataOut, n); }

 private:
  void Fire(std::int32_t dispid, std::int32_t& value) {
    auto keep = owner_.weak_from_this().lock();
    if (!keep) return;
    std::vector<Variant> args{Variant::Long(value)};
    owner_.Fire(dispid, args);
    try {
      value = args[0].ToLong();
    } catch (const DispatchError&) {
    }
  }
  DispatchObject& owner_;
};

DispatchObject::DispatchObject(Key, const ClassInfo& cls, std::shared_ptr<void> target)
    : cls_(cls), target_(std::move(target)) {}

DispatchObject::~DispatchObject() {
  if (prnPortEvents_) static_cast<clsPrnPort*>(target_.get())->Unadvise(prnPortEvents_.get());
  if (serialEvents_) static_cast<clsSerial*>(target_.get())->Unadvise(serialEvents_.get());
}

std::shared_ptr<DispatchObject> DispatchObject::Create(std::string_view className) {
  const ClassInfo* cls = FindClassInfo(className);
  if (!cls || !cls->creatable) {
    throw DispatchError(CLASS_E_CLASSNOTAVAILABLE, 429,
                        "ActiveX component can't create object: " + std::string(className));
  }
  if (cls == &PrnPortClassInfo()) return Wrap(clsPrnPort::Create());
  if (cls == &SerialClassInfo()) return Wrap(clsSerial::Create());
  throw DispatchError(E_NOTIMPL, 445, cls->name + " is not implemented in this build", cls->name);
}

std::shared_ptr<DispatchObject> DispatchObject::Make(const ClassInfo& cls,
                                                     std::shared_ptr<void> target) {
  return platform::OwnedByThisThread(new DispatchObject(Key{}, cls, std::move(target)));
}

void DispatchObject::OnOwnerThread(const std::string& what) const {
  if (std::this_thread::get_id() == owner_) return;
  throw DispatchError(RPC_E_WRONG_THREAD, RPC_E_WRONG_THREAD,
                      "The application called an interface that was marshalled for a different "
                      "thread.",
                      what);
}

std::shared_ptr<DispatchObject> DispatchObject::Wrap(const std::shared_ptr<clsPrnPort>& port) {
  auto obj = Make(PrnPortClassInfo(), port);
  obj->prnPortEvents_ = std::make_unique<PrnPortEvents>(*obj);
  port->Advise(obj->prnPortEvents_.get());
  return obj;
}

std::shared_ptr<DispatchObject> DispatchObject::Wrap(const std::shared_ptr<clsSerial>& serial) {
  auto obj = Make(SerialClassInfo(), serial);
  obj->serialEvents_ = std::make_unique<SerialEvents>(*obj);
  serial->Advise(obj->serialEvents_.get());
  return obj;
}

std::shared_ptr<DispatchObject> DispatchObject::Wrap(std::shared_ptr<clsPrnPortData> record) {
  return Make(PrnPortDataClassInfo(), std::move(record));
}

Variant DispatchObject::Invoke(std::int32_t dispid, std::int32_t kind, std::vector<Variant>& args) {
  OnOwnerThread(cls_.name);
  const MemberInfo* m = cls_.Find(dispid, kind);
  if (!m) {
    throw DispatchError(DISP_E_MEMBERNOTFOUND, 438,
                        "Object doesn't support this property or method", cls_.name);
  }
  const std::string label = MemberLabel(cls_, *m);
  if (!m->call)
    throw DispatchError(E_NOTIMPL, 445, label + " is not implemented in this build", label);
  if (args.size() > m->params.size()) {
    throw DispatchError(DISP_E_BADPARAMCOUNT, 450,
                        "Wrong number of arguments or invalid property assignment", label);
  }

  Args a;
  a.slots_.resize(m->params.size());
  for (std::size_t i = 0; i < m->params.size(); ++i) {
    const ParamInfo& p = m->params[i];
    const Variant* given = i < args.size() ? &args[i].Target() : nullptr;
    if (!given || given->Type() == VarType::Missing) {
      if (!p.optional)
        throw DispatchError(DISP_E_PARAMNOTOPTIONAL, 449, "Argument not optional", label);
      given = &p.defaultValue;
    }
    Args::Slot& s = a.slots_[i];
    try {
      switch (p.type) {
        case VarType::Long:
          s.l = given->ToLong();
          break;
        case VarType::Integer:
          s.n = given->ToInteger();
          break;
        case VarType::Boolean:
          s.b = given->Type() == VarType::Missing ? false : given->ToBoolean();
          break;
        case VarType::String:
          s.s = given->Type() == VarType::Missing ? std::string() : given->ToString();
          break;
        case VarType::LongArray:
          s.la = given->ToLongArray();
          break;
        case VarType::StringArray:
          s.sa = given->ToStringArray();
          break;
        default:
          s.v = *given;
          break;
      }
    } catch (const DispatchError& e) {
      throw DispatchError(e.HResult(), e.Number(), std::string(e.what()) + " in argument " + p.name,
                          label);
    }
  }

  Variant result;
  try {
    result = m->call(target_.get(), a);
  } catch (const DispatchError&) {
    throw;
  } catch (const Error& e) {
    throw DispatchError(DISP_E_EXCEPTION, e.Number(), e.what(), e.Source());
  }

  // ByRef arguments get back what the member left in them, in the declared type; text keeps the
  // form the caller gave it (String or Bytes).
  for (std::size_t i = 0; i < m->params.size() && i < args.size(); ++i) {
    const ParamInfo& p = m->params[i];
    if (!p.byRef || !args[i].IsByRef()) continue;
    Variant& target = args[i].Target();
    if (target.Type() == VarType::Missing) continue;
    Args::Slot& s = a.slots_[i];
    switch (p.type) {
      case VarType::Long:
        target = Variant::Long(s.l);
        break;
      case VarType::Integer:
        target = Variant::Integer(s.n);
        break;
      case VarType::Boolean:
        target = Variant::Boolean(s.b);
        break;
      case VarType::String:
        target = target.Type() == VarType::Bytes ? Variant::ByteString(s.s) : Variant::String(s.s);
        break;
      case VarType::LongArray:
        target = Variant::LongArray(s.la);
        break;
      case VarType::StringArray:
        target = Variant::StringArray(s.sa);
        break;
      default:
        target = s.v;
        break;
    }
  }
  return result;
}

int DispatchObject::Connect(EventCallback callback) {
  OnOwnerThread(cls_.name);
  const int cookie = nextCookie_++;
  callbacks_[cookie] = std::make_shared<EventCallback>(std::move(callback));
  return cookie;
}

void DispatchObject::Disconnect(int cookie) {
  OnOwnerThread(cls_.name);
  callbacks_.erase(cookie);
}

void DispatchObject::Fire(std::int32_t dispid, std::vector<Variant>& args) {
  const EventInfo* event = cls_.FindEvent(dispid);
  if (!event) return;
  auto keep = shared_from_this();
  // Callbacks may connect or disconnect others; one disconnected meanwhile is not called.
  const auto snapshot = callbacks_;
  for (const auto& [cookie, cb] : snapshot) {
    if (!callbacks_.count(cookie)) continue;
    const std::vector<Variant> before = args;
    (*cb)(*event, args);
    KeepDeclaredTypes(*event, before, args);
  }
}

}  // namespace vtl
