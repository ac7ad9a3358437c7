// The C interface over dispatch. No C++ exception crosses it: every failure becomes a code and a
// message kept for the calling thread.
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/cadenas.h"
#include "interface/c_object.h"
#include "interface/dispatch.h"
#include "interface/text.h"
#include "objects/prnport.h"
#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/message.h"
#include "platform/portio.h"
#include "platform/sim.h"
#include "platform/spooler.h"
#include "vtldllxt.h"

namespace {

using vtl::DispatchError;
using vtl::Variant;
using vtl::VarType;

struct LastError {
  std::string message;
  std::int32_t number = 0;
  std::string source;
};
thread_local LastError t_error;

std::int32_t Fail(std::int32_t code, std::int32_t number, std::string message, std::string source) {
  t_error = {std::move(message), number, std::move(source)};
  return code;
}

template <typename F>
std::int32_t Guard(F&& body) {
  try {
    t_error = {};
    return body();
  } catch (const DispatchError& e) {
    return Fail(e.HResult(), e.Number(), vtl::AnsiToUtf8(e.what()), e.Source());
  } catch (const vtl::Error& e) {
    return Fail(vtl::DISP_E_EXCEPTION, e.Number(), vtl::AnsiToUtf8(e.what()), e.Source());
  } catch (const std::bad_alloc&) {
    return Fail(vtl::E_UNEXPECTED, 7, "Out of memory", "vtldllxt");
  } catch (const std::exception& e) {
    return Fail(vtl::E_UNEXPECTED, 51, std::string("Internal error: ") + e.what(), "vtldllxt");
  } catch (...) {
    return Fail(vtl::E_UNEXPECTED, 51, "Internal error", "vtldllxt");
  }
}

char* CopyBytes(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (!p) throw std::bad_alloc();
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

std::string Text(const char* s, std::int32_t len) {
  if (!s) return {};
  return len >= 0 ? std::string(s, static_cast<std::size_t>(len)) : std::string(s);
}

Variant FromC(const vtl_variant& v) {
  switch (v.type) {
    case VTL_EMPTY:
      return {};
    case VTL_INTEGER:
      if (v.num < INT16_MIN || v.num > INT16_MAX) throw DispatchError::Overflow();
      return Variant::Integer(static_cast<std::int16_t>(v.num));
    case VTL_LONG:
      if (v.num < INT32_MIN || v.num > INT32_MAX) throw DispatchError::Overflow();
      return Variant::Long(static_cast<std::int32_t>(v.num));
    case VTL_DOUBLE:
      return Variant::Double(v.dbl);
    case VTL_BOOLEAN:
      return Variant::Boolean(v.num != 0);
    case VTL_STRING:
      return Variant::String(vtl::Utf8ToAnsi(Text(v.str, v.len)));
    case VTL_BYTES:
      return Variant::ByteString(Text(v.str, v.len));
    case VTL_MISSING:
      return Variant::MissingArg();
    case VTL_OBJECT:
      return v.obj ? Variant::Object(v.obj->dispatch) : Variant();
    case VTL_LONG_ARRAY: {
      if (v.len < 0 || (v.len > 0 && !v.longs)) throw DispatchError::TypeMismatch();
      return Variant::LongArray(std::vector<std::int32_t>(v.longs, v.longs + v.len));
    }
    case VTL_STRING_ARRAY: {
      if (v.len < 0 || (v.len > 0 && !v.strs)) throw DispatchError::TypeMismatch();
      std::vector<std::string> out;
      out.reserve(static_cast<std::size_t>(v.len));
      for (std::int32_t i = 0; i < v.len; ++i) out.push_back(vtl::Utf8ToAnsi(Text(v.strs[i], -1)));
      return Variant::StringArray(std::move(out));
    }
    default:
      throw DispatchError::TypeMismatch();
  }
}

// Fills `out` (whose old content is not freed) from `v`; everything allocated is owned.
void ToC(const Variant& value, vtl_variant& out) {
  const std::int32_t byref = out.byref;
  out = vtl_variant{};
  out.byref = byref;
  out.owned = 1;
  const Variant& v = value.Target();
  out.type = static_cast<std::int32_t>(v.Type());
  const auto& raw = v.Raw();
  if (const auto* n = std::get_if<std::int16_t>(&raw)) out.num = *n;
  if (const auto* l = std::get_if<std::int32_t>(&raw)) out.num = *l;
  if (const auto* d = std::get_if<double>(&raw)) out.dbl = *d;
  if (const auto* b = std::get_if<bool>(&raw)) out.num = *b ? -1 : 0;
  if (const auto* s = std::get_if<std::string>(&raw)) {
    const std::string utf8 = vtl::AnsiToUtf8(*s);
    out.str = CopyBytes(utf8);
    out.len = static_cast<std::int32_t>(utf8.size());
  }
  if (const auto* s = std::get_if<Variant::Bytes>(&raw)) {
    out.str = CopyBytes(s->data);
    out.len = static_cast<std::int32_t>(s->data.size());
  }
  if (const auto* o = std::get_if<std::shared_ptr<vtl::DispatchObject>>(&raw)) {
    out.obj = *o ? new vtl_object{*o} : nullptr;
    if (!out.obj) out.type = VTL_EMPTY;
  }
  if (const auto* a = std::get_if<std::vector<std::int32_t>>(&raw)) {
    out.len = static_cast<std::int32_t>(a->size());
    out.longs = static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * (a->size() + 1)));
    if (!out.longs) throw std::bad_alloc();
    std::copy(a->begin(), a->end(), out.longs);
  }
  if (const auto* a = std::get_if<std::vector<std::string>>(&raw)) {
    out.len = static_cast<std::int32_t>(a->size());
    out.strs = static_cast<char**>(std::calloc(a->size() + 1, sizeof(char*)));
    if (!out.strs) throw std::bad_alloc();
    for (std::size_t i = 0; i < a->size(); ++i) out.strs[i] = CopyBytes(vtl::AnsiToUtf8((*a)[i]));
  }
  if (v.Type() == VarType::Missing) out.type = VTL_MISSING;
}

// Fills an output variant the caller gave (overwritten, not cleared first).
void Give(vtl_variant* out, const Variant& value) {
  if (!out) return;
  out->byref = 0;
  ToC(value, *out);
}

void NeedPointer(const void* p) {
  if (!p) throw DispatchError(vtl::E_POINTER, 91, "Object variable not set");
}

// The text of a system error number, without the line end system messages carry.
std::string SystemMessage(std::uint32_t number) {
  char text[512] = {};
  namespace p = vtl::platform;
  if (p::FormatMessageA(p::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, number, 0, text, sizeof text,
                        nullptr) == 0) {
    return "Error " + std::to_string(number);
  }
  std::string s(text);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::shared_ptr<vtl::platform::sim::Device> SimOrThrow(const char* name) {
  auto dev = vtl::platform::sim::Find(name ? name : "");
  if (!dev) throw DispatchError(vtl::E_INVALIDARG, 53, "File not found", "vtldllxt");
  return dev;
}

const vtl::ClassInfo& ClassOrThrow(const char* name) {
  const vtl::ClassInfo* cls = name ? vtl::FindClassInfo(name) : nullptr;
  if (!cls) throw DispatchError(vtl::CLASS_E_CLASSNOTAVAILABLE, 429, "Unknown class", "vtldllxt");
  return *cls;
}

}  // namespace

extern "C" {

const char* vtl_version(void) {
  return VTLDLLXT_VERSION_TEXT;
}

const char* vtl_last_error(int32_t* number, const char** source) {
  if (number) *number = t_error.number;
  if (source) *source = t_error.source.c_str();
  return t_error.message.c_str();
}

int32_t vtl_create(const char* class_name, vtl_object** out) {
  return Guard([&] {
    if (!out) return Fail(vtl::E_POINTER, 91, "Object variable not set", "vtldllxt");
    *out = nullptr;
    auto d = vtl::DispatchObject::Create(class_name ? class_name : "");
    *out = new vtl_object{std::move(d)};
    return VTL_OK;
  });
}

void vtl_release(vtl_object* obj) {
  delete obj;
}

const char* vtl_class_name(const vtl_object* obj) {
  return obj ? obj->dispatch->Class().name.c_str() : "";
}

int32_t vtl_get_dispid(const char* class_name, const char* member, int32_t* dispid) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    const std::int32_t id = member ? cls.DispIdOf(member) : -1;
    if (id == -1) {
      return Fail(vtl::DISP_E_UNKNOWNNAME, 438,
                  "Unknown name: " + std::string(member ? member : ""), cls.name);
    }
    if (dispid) *dispid = id;
    return VTL_OK;
  });
}

int32_t vtl_get_event_dispid(const char* class_name, const char* event, int32_t* dispid) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    const std::int32_t id = event ? cls.EventDispIdOf(event) : -1;
    if (id == -1) {
      return Fail(vtl::DISP_E_UNKNOWNNAME, 438, "Unknown event: " + std::string(event ? event : ""),
                  cls.name);
    }
    if (dispid) *dispid = id;
    return VTL_OK;
  });
}

int32_t vtl_member_info(const char* class_name, int32_t index, int32_t* dispid, const char** name,
                        int32_t* kind, int32_t* param_count, int32_t* result_type) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    if (index < 0 || static_cast<std::size_t>(index) >= cls.members.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& m = cls.members[static_cast<std::size_t>(index)];
    if (dispid) *dispid = m.dispid;
    if (name) *name = m.name.c_str();
    if (kind) *kind = m.kind;
    if (param_count) *param_count = static_cast<std::int32_t>(m.params.size());
    if (result_type) *result_type = static_cast<std::int32_t>(m.result);
    return VTL_OK;
  });
}

int32_t vtl_param_info(const char* class_name, int32_t member_index, int32_t param_index,
                       const char** name, int32_t* type, int32_t* byref, int32_t* optional) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    if (member_index < 0 || static_cast<std::size_t>(member_index) >= cls.members.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& m = cls.members[static_cast<std::size_t>(member_index)];
    if (param_index < 0 || static_cast<std::size_t>(param_index) >= m.params.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& p = m.params[static_cast<std::size_t>(param_index)];
    if (name) *name = p.name.c_str();
    if (type) *type = static_cast<std::int32_t>(p.type);
    if (byref) *byref = p.byRef;
    if (optional) *optional = p.optional;
    return VTL_OK;
  });
}

int32_t vtl_event_info(const char* class_name, int32_t index, int32_t* dispid, const char** name,
                       int32_t* param_count) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    if (index < 0 || static_cast<std::size_t>(index) >= cls.events.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& e = cls.events[static_cast<std::size_t>(index)];
    if (dispid) *dispid = e.dispid;
    if (name) *name = e.name.c_str();
    if (param_count) *param_count = static_cast<std::int32_t>(e.params.size());
    return VTL_OK;
  });
}

int32_t vtl_event_param_info(const char* class_name, int32_t event_index, int32_t param_index,
                             const char** name, int32_t* type) {
  return Guard([&] {
    const auto& cls = ClassOrThrow(class_name);
    if (event_index < 0 || static_cast<std::size_t>(event_index) >= cls.events.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& e = cls.events[static_cast<std::size_t>(event_index)];
    if (param_index < 0 || static_cast<std::size_t>(param_index) >= e.params.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", cls.name);
    }
    const auto& p = e.params[static_cast<std::size_t>(param_index)];
    if (name) *name = p.name.c_str();
    if (type) *type = static_cast<std::int32_t>(p.type);
    return VTL_OK;
  });
}

int32_t vtl_invoke(vtl_object* obj, int32_t dispid, int32_t kind, vtl_variant* args, int32_t nargs,
                   vtl_variant* result) {
  return Guard([&] {
    if (!obj) return Fail(vtl::E_POINTER, 91, "Object variable not set", "vtldllxt");
    if (nargs < 0 || (nargs > 0 && !args)) {
      return Fail(vtl::E_INVALIDARG, 5, "Invalid procedure call or argument", "vtldllxt");
    }
    // ByRef arguments point at holders here; what the member leaves there goes back to C.
    std::vector<Variant> holders(static_cast<std::size_t>(nargs));
    std::vector<Variant> call(static_cast<std::size_t>(nargs));
    for (std::int32_t i = 0; i < nargs; ++i) {
      holders[i] = FromC(args[i]);
      call[i] = args[i].byref ? Variant::Ref(holders[i]) : holders[i];
    }
    const std::vector<Variant> given = holders;
    auto keep = obj->dispatch;  // a callback inside the call may release `obj`
    Variant r = keep->Invoke(dispid, kind, call);
    // Only what the member declares ByRef goes back; every other argument stays exactly as the
    // caller filled it (not even re-encoded).
    const vtl::MemberInfo* member = keep->Class().Find(dispid, kind);
    for (std::int32_t i = 0; i < nargs; ++i) {
      const auto n = static_cast<std::size_t>(i);
      const bool declaredByRef = member && n < member->params.size() && member->params[n].byRef;
      if (!declaredByRef || !args[i].byref || holders[i].Type() == VarType::Missing) continue;
      // A value the member left as it was stays the caller's own: text outside Windows-1252
      // is not replaced by its "?" on the way back.
      if (holders[i] == given[i]) continue;
      if (args[i].owned) vtl_variant_clear(&args[i]);
      const std::int32_t wasBytes = args[i].type == VTL_BYTES;
      ToC(holders[i], args[i]);
      if (wasBytes && args[i].type == VTL_STRING) {
        // Binary in, binary out: give the bytes back as they are.
        vtl_variant_clear(&args[i]);
        args[i].byref = 1;
        vtl_variant_set_bytes(&args[i], holders[i].ToString().data(),
                              static_cast<std::int32_t>(holders[i].ToString().size()));
      }
    }
    if (result) ToC(r, *result);
    return VTL_OK;
  });
}

int32_t vtl_connect(vtl_object* obj, vtl_event_callback callback, void* user, int32_t* cookie) {
  return Guard([&] {
    if (!obj || !callback) return Fail(vtl::E_POINTER, 91, "Object variable not set", "vtldllxt");
    const int c = obj->dispatch->Connect(
        [callback, user](const vtl::EventInfo& event, std::vector<Variant>& values) {
          std::vector<vtl_variant> cargs(values.size());
          for (std::size_t i = 0; i < values.size(); ++i) {
            cargs[i].byref = 1;
            ToC(values[i], cargs[i]);
          }
          callback(user, event.dispid, event.name.c_str(), cargs.data(),
                   static_cast<std::int32_t>(cargs.size()));
          for (std::size_t i = 0; i < values.size(); ++i) {
            try {
              values[i] = FromC(cargs[i]);
            } catch (const DispatchError&) {
              // A value the handler set that cannot be read back leaves the argument alone.
            }
            vtl_variant_clear(&cargs[i]);
          }
        });
    if (cookie) *cookie = c;
    return VTL_OK;
  });
}

int32_t vtl_disconnect(vtl_object* obj, int32_t cookie) {
  return Guard([&] {
    if (!obj) return Fail(vtl::E_POINTER, 91, "Object variable not set", "vtldllxt");
    obj->dispatch->Disconnect(cookie);
    return VTL_OK;
  });
}

int32_t vtl_do_events(void) {
  std::int32_t ran = 0;
  Guard([&] {
    ran = vtl::platform::DoEvents() ? 1 : 0;
    return VTL_OK;
  });
  return ran;
}

int32_t vtl_pump(int32_t max_wait_ms) {
  std::int32_t ran = 0;
  Guard([&] {
    auto& loop = vtl::platform::Loop::Current();
    bool any = false;
    loop.RunUntil(
        [&] {
          any = any || loop.DoEvents();
          return any;
        },
        max_wait_ms < 0 ? 0 : max_wait_ms);
    ran = any ? 1 : 0;
    return VTL_OK;
  });
  return ran;
}

int32_t vtl_run_until(vtl_condition condition, void* user, int32_t timeout_ms) {
  std::int32_t met = 0;
  Guard([&] {
    if (!condition) return Fail(vtl::E_POINTER, 91, "Object variable not set", "vtldllxt");
    met = vtl::platform::Loop::Current().RunUntil([&] { return condition(user) != 0; },
                                                  timeout_ms < 0 ? 0 : timeout_ms)
              ? 1
              : 0;
    return VTL_OK;
  });
  return met;
}

int32_t vtl_map_port(const char* name, const char* path) {
  return Guard([&] {
    namespace p = vtl::platform;
    const bool remove = !path || !*path;
    if (!p::DefineDosDeviceA(remove ? p::DDD_REMOVE_DEFINITION : 0, name, path)) {
      return Fail(vtl::E_INVALIDARG, 5,
                  "Not a port name (COMn or LPTn): " + std::string(name ? name : ""), "vtldllxt");
    }
    return VTL_OK;
  });
}

int32_t vtl_map_free_port(const char* kind, const char* path, vtl_variant* name) {
  return Guard([&] {
    NeedPointer(name);
    const std::string k = vtl::Mayusculas(kind ? kind : "");
    if ((k != "COM" && k != "LPT") || !path || !*path) {
      return Fail(vtl::E_INVALIDARG, 5, "Invalid procedure call or argument", "vtldllxt");
    }
    const std::string mapped = vtl::platform::DefineFreeDosDevice(k == "LPT", path);
    if (mapped.empty()) {
      return Fail(vtl::E_UNEXPECTED, 67, "Too many files: every " + k + " name is taken",
                  "vtldllxt");
    }
    Give(name, Variant::String(mapped));
    return VTL_OK;
  });
}

int32_t vtl_port_device(const char* name, vtl_variant* path) {
  return Guard([&] {
    NeedPointer(path);
    char target[4096];
    if (vtl::platform::QueryDosDeviceA(name, target, sizeof target) == 0) {
      return Fail(vtl::E_INVALIDARG, 53, "No device for " + std::string(name ? name : ""),
                  "vtldllxt");
    }
    // The path is bytes as the system names it; it crosses as it is.
    *path = vtl_variant{};
    vtl_variant_set_string(path, target, -1);
    return VTL_OK;
  });
}

int32_t vtl_opening_error(vtl_object* port, int32_t* number, vtl_variant* message) {
  return Guard([&] {
    if (!port || &port->dispatch->Class() != &vtl::PrnPortClassInfo()) {
      return Fail(vtl::E_INVALIDARG, 5, "Not a clsPrnPort", "vtldllxt");
    }
    port->dispatch->OnOwnerThread("clsPrnPort");
    const auto* prn = static_cast<const vtl::clsPrnPort*>(port->dispatch->Target());
    const std::uint32_t error = prn->UltimoErrorApertura();
    if (number) *number = static_cast<std::int32_t>(error);
    if (message) Give(message, Variant::String(error ? SystemMessage(error) : ""));
    return VTL_OK;
  });
}

int32_t vtl_printer_condition(vtl_object* port, uint32_t* flags, vtl_variant* words) {
  return Guard([&] {
    if (!port || &port->dispatch->Class() != &vtl::PrnPortClassInfo()) {
      return Fail(vtl::E_INVALIDARG, 5, "Not a clsPrnPort", "vtldllxt");
    }
    NeedPointer(flags);
    port->dispatch->OnOwnerThread("clsPrnPort");
    const auto* prn = static_cast<const vtl::clsPrnPort*>(port->dispatch->Target());
    const vtl::Condicion c = prn->EstadoConocido();
    *flags = (c.error ? VTL_CONDITION_ERROR : 0U) | (c.sinPapel ? VTL_CONDITION_PAPER_OUT : 0U) |
             (c.tapaAbierta ? VTL_CONDITION_COVER_OPEN : 0U) |
             (c.ocupado ? VTL_CONDITION_BUSY : 0U);
    if (words) Give(words, Variant::String(vtl::Utf8ToAnsi(c.palabras)));
    return VTL_OK;
  });
}

int32_t vtl_spooler_queue_state(const char* queue, vtl_variant* words) {
  return Guard([&] {
    NeedPointer(queue);
    NeedPointer(words);
    vtl::platform::HANDLE h = 0;
    vtl::platform::SpoolerQueueState state;
    const std::string ansi = vtl::Utf8ToAnsi(queue);
    const bool ok =
        vtl::platform::OpenPrinterA(ansi.c_str(), &h, nullptr) != vtl::platform::FALSE &&
        vtl::platform::GetPrinterState(h, &state) != vtl::platform::FALSE;
    const auto error = vtl::platform::GetLastError();
    if (h) vtl::platform::ClosePrinter(h);
    if (!ok) {
      return Fail(vtl::DISP_E_EXCEPTION, static_cast<std::int32_t>(error), SystemMessage(error),
                  "vtldllxt");
    }
    Give(words, Variant::String(vtl::Utf8ToAnsi(state.words)));
    return VTL_OK;
  });
}

int32_t vtl_spooler_queues(vtl_variant* queues) {
  return Guard([&] {
    NeedPointer(queues);
    Give(queues, Variant::StringArray(vtl::platform::ListPrinterQueues()));
    return VTL_OK;
  });
}

const char* vtl_port_io_backend(void) {
  static const char* const kNames[] = {"ppdev", "/dev/port", "simulated", "none"};
  try {
    const std::string name = vtl::platform::portio::BackendName();
    for (const char* n : kNames) {
      if (name == n) return n;
    }
  } catch (...) {
  }
  return "none";
}

int32_t vtl_text_to_bytes(const char* utf8, int32_t len, vtl_variant* bytes) {
  return Guard([&] {
    NeedPointer(bytes);
    Give(bytes, Variant::ByteString(vtl::Utf8ToAnsi(Text(utf8, len))));
    return VTL_OK;
  });
}

int32_t vtl_bytes_to_text(const char* bytes, int32_t len, vtl_variant* utf8) {
  return Guard([&] {
    NeedPointer(utf8);
    Give(utf8, Variant::String(Text(bytes, len)));
    return VTL_OK;
  });
}

int32_t vtl_sim_printer_create(const char* name) {
  return Guard([&] {
    if (!name || !*name) {
      return Fail(vtl::E_INVALIDARG, 5, "Invalid procedure call or argument", "vtldllxt");
    }
    namespace p = vtl::platform;
    p::sim::Register(name)->SetModemStatus(p::MS_CTS_ON | p::MS_DSR_ON);
    return VTL_OK;
  });
}

int32_t vtl_sim_printer_remove(const char* name) {
  return Guard([&] {
    vtl::platform::sim::Unregister(name ? name : "");
    return VTL_OK;
  });
}

int32_t vtl_sim_printer_writes(const char* name, int32_t* count) {
  return Guard([&] {
    const auto dev = SimOrThrow(name);
    if (count) *count = static_cast<std::int32_t>(dev->Requests().size());
    return VTL_OK;
  });
}

int32_t vtl_sim_printer_write(const char* name, int32_t index, vtl_variant* data) {
  return Guard([&] {
    NeedPointer(data);
    const auto dev = SimOrThrow(name);
    const auto& writes = dev->Requests();
    if (index < 0 || static_cast<std::size_t>(index) >= writes.size()) {
      return Fail(vtl::E_INVALIDARG, 9, "Subscript out of range", "vtldllxt");
    }
    Give(data, Variant::ByteString(writes[static_cast<std::size_t>(index)]));
    return VTL_OK;
  });
}

vtl_object* vtl_add_ref(vtl_object* obj) {
  vtl_object* copy = nullptr;
  Guard([&] {
    if (obj) copy = new vtl_object{obj->dispatch};
    return VTL_OK;
  });
  return copy;
}

void vtl_variant_clear(vtl_variant* v) {
  if (!v) return;
  if (v->owned) {
    std::free(v->str);
    std::free(v->longs);
    if (v->strs) {
      for (std::int32_t i = 0; i < v->len; ++i) std::free(v->strs[i]);
      std::free(v->strs);
    }
    delete v->obj;
  }
  const std::int32_t byref = v->byref;
  *v = vtl_variant{};
  v->byref = byref;
}

void vtl_variant_set_empty(vtl_variant* v) {
  vtl_variant_clear(v);
}

void vtl_variant_set_long(vtl_variant* v, int32_t value) {
  vtl_variant_clear(v);
  if (!v) return;
  v->type = VTL_LONG;
  v->num = value;
}

void vtl_variant_set_integer(vtl_variant* v, int16_t value) {
  vtl_variant_clear(v);
  if (!v) return;
  v->type = VTL_INTEGER;
  v->num = value;
}

void vtl_variant_set_boolean(vtl_variant* v, int32_t value) {
  vtl_variant_clear(v);
  if (!v) return;
  v->type = VTL_BOOLEAN;
  v->num = value ? -1 : 0;
}

void vtl_variant_set_double(vtl_variant* v, double value) {
  vtl_variant_clear(v);
  if (!v) return;
  v->type = VTL_DOUBLE;
  v->dbl = value;
}

void vtl_variant_set_string(vtl_variant* v, const char* utf8, int32_t len) {
  vtl_variant_clear(v);
  if (!v) return;
  const std::string s = Text(utf8, len);
  v->type = VTL_STRING;
  v->owned = 1;
  v->str = CopyBytes(s);
  v->len = static_cast<std::int32_t>(s.size());
}

void vtl_variant_set_bytes(vtl_variant* v, const char* bytes, int32_t len) {
  vtl_variant_clear(v);
  if (!v) return;
  const std::string s = bytes && len > 0 ? std::string(bytes, static_cast<std::size_t>(len)) : "";
  v->type = VTL_BYTES;
  v->owned = 1;
  v->str = CopyBytes(s);
  v->len = static_cast<std::int32_t>(s.size());
}

}  // extern "C"
