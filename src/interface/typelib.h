// The type library in code: classes, their dispatch and event interfaces, every member with its
// DISPID, kind, parameters and handler, the enumerations and the dcbType record.
//
// Each class has exactly one table (typelib.cpp); dispatch, the C interface, the Python module's
// member look-up and the tests all read it from there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interface/variant.h"
#include "platform/comm.h"

namespace vtl {

enum InvokeKind : std::int32_t {
  DISPATCH_METHOD = 1,
  DISPATCH_PROPERTYGET = 2,
  DISPATCH_PROPERTYPUT = 4,  // "let" for values
  DISPATCH_PROPERTYPUTREF = 8,
};

struct ParamInfo {
  std::string name;
  VarType type;
  bool byRef = false;
  bool optional = false;
  Variant defaultValue;  // Missing when an optional parameter has no default of its own
};

class Args;
// Runs a member on its object. Null for members this build does not provide yet.
using Handler = std::function<Variant(void* target, Args& args)>;

struct MemberInfo {
  std::int32_t dispid;
  std::string name;
  std::int32_t kind;  // one InvokeKind
  std::vector<ParamInfo> params;
  VarType result;  // Empty: returns nothing
  Handler call;
};

struct EventInfo {
  std::int32_t dispid;
  std::string name;
  std::vector<ParamInfo> params;  // every event argument is ByRef
};

struct ClassInfo {
  std::string name;
  std::string dispInterface;
  std::string eventInterface;  // empty: the class raises no events
  std::string clsid;
  std::string iid;
  std::string eventIid;
  bool creatable;
  std::vector<MemberInfo> members;
  std::vector<EventInfo> events;

  // The member with this DISPID that answers `kind` (a method also answers a property get, as
  // automation hosts call both the same way).
  const MemberInfo* Find(std::int32_t dispid, std::int32_t kind) const;
  // DISPID of a member name, case-insensitively; -1 if there is none. Events are numbered apart
  // from members (LoopPruebas and Uploading are both), so they have a look-up of their own.
  std::int32_t DispIdOf(std::string_view member) const;
  std::int32_t EventDispIdOf(std::string_view event) const;
  const EventInfo* FindEvent(std::int32_t dispid) const;
};

const ClassInfo& PrnPortClassInfo();
const ClassInfo& PrnPortDataClassInfo();
const ClassInfo& SerialClassInfo();
// By class name, case-insensitively; null if unknown.
const ClassInfo* FindClassInfo(std::string_view name);
const std::vector<const ClassInfo*>& AllClasses();

struct EnumInfo {
  std::string name;
  std::vector<std::pair<std::string, std::int32_t>> values;
};
const std::vector<EnumInfo>& Enumerations();

// The serial line record the automation surface shows is the platform's device-control block
// itself (28 bytes), so the two can never drift apart.
using dcbType = platform::DCB;

// The DISPIDs of the port's events, for the type description and for raising them.
enum EventoDispid : std::int32_t {
  kEvDatosImpresos = 1,
  kEvNuevoEstado = 2,
  kEvNuevasPropiedades = 3,
  kEvLoopPruebas = 4,
  kEvLogoGrabado = 5,
  kEvUploading = 6,
  kEvDatosSerial = 7,
  kEvEstadoCajon = 8,
  kEvEstadoOnLlineOffLine = 9,
};
// And of the serial port's.
enum EventoSerieDispid : std::int32_t { kEvDataIn = 1, kEvDataOut = 2 };

// Bits of dcbType::fBitFields, from bit 0: name, first bit, width.
struct BitFieldInfo {
  const char* name;
  int bit;
  int width;
};
const std::vector<BitFieldInfo>& DcbBitFields();

// Typed access to the arguments of one call, after defaults and conversions. Handlers read and
// write them by reference; ByRef arguments are written back to the caller afterwards.
class Args {
 public:
  std::int32_t& Long(std::size_t i) { return slots_.at(i).l; }
  std::int16_t& Integer(std::size_t i) { return slots_.at(i).n; }
  bool& Boolean(std::size_t i) { return slots_.at(i).b; }
  std::string& String(std::size_t i) { return slots_.at(i).s; }
  std::vector<std::int32_t>& LongArray(std::size_t i) { return slots_.at(i).la; }
  std::vector<std::string>& StringArray(std::size_t i) { return slots_.at(i).sa; }
  Variant& Value(std::size_t i) { return slots_.at(i).v; }
  std::size_t size() const { return slots_.size(); }

 private:
  friend class DispatchObject;
  struct Slot {
    std::int32_t l = 0;
    std::int16_t n = 0;
    bool b = false;
    std::string s;
    std::vector<std::int32_t> la;
    std::vector<std::string> sa;
    Variant v;
  };
  std::vector<Slot> slots_;
};

}  // namespace vtl
