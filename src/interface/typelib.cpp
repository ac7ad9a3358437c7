#include "interface/typelib.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <type_traits>

#include "interface/dispatch.h"
#include "objects/prnport.h"
#include "objects/serial_port.h"

namespace vtl {
namespace {

using V = VarType;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

ParamInfo In(std::string name, V type) {
  return {std::move(name), type, false, false, {}};
}
ParamInfo Ref(std::string name, V type) {
  return {std::move(name), type, true, false, {}};
}
ParamInfo Opt(std::string name, V type, Variant def = Variant::MissingArg(), bool byRef = false) {
  return {std::move(name), type, byRef, true, std::move(def)};
}

// A member of class T; one that returns nothing answers Empty.
template <class T, class F>
Handler On(F f) {
  return [f](void* target, Args& a) -> Variant {
    T& object = *static_cast<T*>(target);
    if constexpr (std::is_void_v<decltype(f(object, a))>) {
      f(object, a);
      return Variant();
    } else {
      return f(object, a);
    }
  };
}

MemberInfo Method(std::int32_t id, std::string name, std::vector<ParamInfo> params, V result,
                  Handler h = nullptr) {
  return {id, std::move(name), DISPATCH_METHOD, std::move(params), result, std::move(h)};
}
MemberInfo Get(std::int32_t id, std::string name, V type, Handler h = nullptr,
               std::vector<ParamInfo> params = {}) {
  return {id, std::move(name), DISPATCH_PROPERTYGET, std::move(params), type, std::move(h)};
}
MemberInfo Put(std::int32_t id, std::string name, V type, Handler h = nullptr) {
  return {id, std::move(name), DISPATCH_PROPERTYPUT, {In("value", type)}, V::Empty, std::move(h)};
}

using P = clsPrnPort;

// Properties that only read and store a member of the port.
#define VTL_LONG_GET(expr) On<P>([](P& p, Args&) { return Variant::Long(expr); })
#define VTL_BOOL_GET(expr) On<P>([](P& p, Args&) { return Variant::Boolean(expr); })

ClassInfo BuildPrnPort() {
  ClassInfo c{"clsPrnPort",
              "_clsPrnPort",
              "__clsPrnPort",
              "{6C0B5E10-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "{6C0B5E11-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "{6C0B5E12-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              true,
              {},
              {}};
  c.members = {
      Get(0x68030003, "Baudios", V::Long, VTL_LONG_GET(p.Baudios())),
      Method(
          0x60030007, "CheckError",
          {Ref("tmpBusy", V::Boolean), Ref("tmpError", V::Boolean), Ref("tmpSinPapel", V::Boolean)},
          V::Empty, On<P>([](P& p, Args& a) {
            p.CheckError(a.Boolean(0), a.Boolean(1), a.Boolean(2));
            return Variant();
          })),
      Get(0x68030002, "Busy", V::Boolean, VTL_BOOL_GET(p.Busy())),
      Get(0x68030001, "OutputID", V::Long, VTL_LONG_GET(p.OutputID())),
      Method(0x6003000b, "CloseAll", {}, V::Empty, On<P>([](P& p, Args&) {
               p.CloseAll();
               return Variant();
             })),
      Method(0x6003000f, "InicializarSerie",
             {Ref("tmpPuertoBase1", V::Long), Opt("tmpVelocidad", V::Long, Variant::Long(-1)),
              Opt("tmpSinCallBack", V::Boolean, Variant::Boolean(false)),
              Opt("tmpChkSpeed", V::Boolean, Variant::Boolean(false))},
             V::Variant, On<P>([](P& p, Args& a) {
               return p.InicializarSerie(a.Long(0), a.Long(1), a.Boolean(2), a.Boolean(3));
             })),
      Method(0x60030010, "InicializarParalelo", {Ref("tmpPuertoBase1", V::Long)}, V::Variant,
             On<P>([](P& p, Args& a) { return p.InicializarParalelo(a.Long(0)); })),
      Method(0x60030012, "CheckAutoSpeed",
             {Ref("tmpPuertoSerie", V::String),
              Opt("tmpSoloCheckearlasPrimeras", V::Long, Variant::Long(2))},
             V::Long, On<P>([](P& p, Args& a) {
               return Variant::Long(p.CheckAutoSpeed(a.String(0), a.Long(1)));
             })),
      Method(
          0x60030014, "Imprimir",
          {Ref("tmpDatos", V::String), Opt("tmpComandoPuro", V::Boolean, Variant::Boolean(false))},
          V::Long, On<P>([](P& p, Args& a) {
            return Variant::Long(p.Imprimir(a.String(0), a.Boolean(1)));
          })),
      Get(0x68030000, "PortData", V::Object, On<P>([](P& p, Args& a) {
            return Variant::Object(DispatchObject::Wrap(p.PortData(a.Long(0))));
          }),
          {Ref("tmpIndex", V::Long)}),
      Method(0x60030033, "CutPaper", {Ref("tmp_porcentage", V::Long)}, V::Long,
             On<P>([](P& p, Args& a) { return Variant::Long(p.CutPaper(a.Long(0))); })),
      Method(0x60030035, "BeginInsertion", {Ref("tmp_Time", V::Long)}, V::Long,
             On<P>([](P& p, Args& a) { return Variant::Long(p.BeginInsertion(a.Long(0))); })),
      Method(0x60030036, "BeginRemoval", {Ref("tmp_Time", V::Long)}, V::Long,
             On<P>([](P& p, Args& a) { return Variant::Long(p.BeginRemoval(a.Long(0))); })),
      Method(0x60030037, "SetBitmap",
             {Ref("BipMapNumber", V::Long), Ref("Station", V::Long), Ref("filename", V::String),
              Ref("tmp_Width", V::Long), Ref("tmp_Aling", V::Long)},
             V::Variant, On<P>([](P& p, Args& a) {
               return p.SetBitmap(a.Long(0), a.Long(1), a.String(2), a.Long(3), a.Long(4));
             })),
      Method(0x60030038, "EndInsertion", {}, V::Variant,
             On<P>([](P& p, Args&) { return p.EndInsertion(); })),
      Method(0x60030039, "EndRemoval", {}, V::Variant,
             On<P>([](P& p, Args&) { return p.EndRemoval(); })),
      Put(0x6803003a, "AlwaysOnLine", V::Boolean, On<P>([](P& p, Args& a) {
            p.AlwaysOnLine(a.Boolean(0));
            return Variant();
          })),
      Get(0x6803003a, "AlwaysOnLine", V::Boolean, VTL_BOOL_GET(p.AlwaysOnLine())),
      Put(0x6803003b, "Asincrono", V::Boolean, On<P>([](P& p, Args& a) {
            p.Asincrono(a.Boolean(0));
            return Variant();
          })),
      Get(0x6803003b, "Asincrono", V::Boolean, VTL_BOOL_GET(p.Asincrono())),
      Get(0x6803003d, "PortPropiedadesAdicionales", V::Long,
          VTL_LONG_GET(p.PortPropiedadesAdicionales())),
      Put(0x6803003d, "PortPropiedadesAdicionales", V::Long, On<P>([](P& p, Args& a) {
            p.PortPropiedadesAdicionales(a.Long(0));
            return Variant();
          })),
      Put(0x6803003c, "LineasPorSegundo", V::Long, On<P>([](P& p, Args& a) {
            p.LineasPorSegundo(a.Long(0));
            return Variant();
          })),
      Put(0x6803003e, "Rafaga", V::Boolean, On<P>([](P& p, Args& a) {
            p.Rafaga(a.Boolean(0));
            return Variant();
          })),
      Get(0x6803003e, "Rafaga", V::Boolean, VTL_BOOL_GET(p.Rafaga())),
      Get(0x6803003f, "LastStatusBIT", V::Long, VTL_LONG_GET(p.LastStatusBIT())),
      Method(0x6003004c, "ImprimeComando", {Ref("tmpDatocomando", V::String)}, V::Variant,
             On<P>([](P& p, Args& a) { return p.ImprimeComando(a.String(0)); })),
      Method(0x6003004d, "LoopPruebas", {}, V::Empty, On<P>([](P& p, Args&) {
               p.LoopPruebas();
               return Variant();
             })),
      Method(0x60030079, "gfSys_ShellAndWaitFor",
             {Ref("Command", V::String), Opt("tmpCommandLine", V::String, Variant::String(""))},
             V::Boolean, On<P>([](P& p, Args& a) {
               return Variant::Boolean(p.gfSys_ShellAndWaitFor(a.String(0), a.String(1)));
             })),
      Method(0x6003008f, "InicializarRed",
             {Ref("tmpIP", V::String), Opt("tmpPuerto", V::Long, Variant::Long(9100))}, V::Variant,
             On<P>([](P& p, Args& a) { return p.InicializarRed(a.String(0), a.Long(1)); })),
      Method(0x600300b2, "ListaDePuertosExistentes",
             {Ref("tmpArrPuertosSerie", V::LongArray), Ref("tmpArrPuertosParalelo", V::LongArray)},
             V::Empty, On<P>([](P& p, Args& a) {
               p.ListaDePuertosExistentes(a.LongArray(0), a.LongArray(1));
               return Variant();
             })),
      Method(0x600300cb, "InicializarWindows", {Ref("tmpNombre", V::String)}, V::Variant,
             On<P>([](P& p, Args& a) { return p.InicializarWindows(a.String(0)); })),
      Method(0x600300ed, "EnviarPruebasDeVelocidad", {Ref("tmpPuertoSerie", V::String)}, V::Variant,
             On<P>([](P& p, Args& a) { return p.EnviarPruebasDeVelocidad(a.String(0)); })),
      Get(0x680300ee, "Uploading", V::Boolean, VTL_BOOL_GET(p.Uploading())),
      Method(0x600300ef, "UploadLogo",
             {Ref("tmpLogos", V::StringArray), Ref("tmpNombres", V::StringArray),
              Opt("tmpLento", V::Boolean, Variant::Boolean(false))},
             V::Empty, On<P>([](P& p, Args& a) {
               p.UploadLogo(a.StringArray(0), a.StringArray(1), a.Boolean(2));
               return Variant();
             })),
      Method(0x600300f0, "ClearAll", {}, V::Variant,
             On<P>([](P& p, Args&) { return p.ClearAll(); })),
      Put(0x680300f1, "ControlDeFlujo", V::Long, On<P>([](P& p, Args& a) {
            p.ControlDeFlujo(a.Long(0));
            return Variant();
          })),
      Get(0x680300f1, "ControlDeFlujo", V::Long, VTL_LONG_GET(p.ControlDeFlujo())),
      Get(0x680300f2, "OutBufferCount", V::Long, VTL_LONG_GET(p.OutBufferCount())),
      Method(0x600300f3, "EndDocForzar", {}, V::Empty, On<P>([](P& p, Args&) {
               p.EndDocForzar();
               return Variant();
             })),
      Method(0x60030115, "CheckAutospeedAndHandshake",
             {Ref("tmpPuerto", V::String), Ref("tmpSpeed", V::Long), Ref("tmpHandshake", V::Long)},
             V::Variant, On<P>([](P& p, Args& a) {
               return p.CheckAutospeedAndHandshake(a.String(0), a.Long(1), a.Long(2));
             })),
      Put(0x68030116, "ControlCajonAbierto", V::Boolean, On<P>([](P& p, Args& a) {
            p.ControlCajonAbierto(a.Boolean(0));
            return Variant();
          })),
      Get(0x68030116, "ControlCajonAbierto", V::Boolean, VTL_BOOL_GET(p.ControlCajonAbierto())),
      Get(0x40030148, "DocName", V::String,
          On<P>([](P& p, Args&) { return Variant::String(p.DocName); })),
      Put(0x40030148, "DocName", V::String, On<P>([](P& p, Args& a) {
            p.DocName = a.String(0);
            return Variant();
          })),
      Method(0x60030160, "CommSetLine", {Ref("intLine", V::Integer), Ref("blnState", V::Boolean)},
             V::Long, On<P>([](P& p, Args& a) {
               return Variant::Long(p.CommSetLine(a.Integer(0), a.Boolean(1)));
             })),
      Put(0x68030161, "SecuenciaInicializacion", V::String, On<P>([](P& p, Args& a) {
            p.SecuenciaInicializacion(a.String(0));
            return Variant();
          })),
      Get(0x68030161, "SecuenciaInicializacion", V::String,
          On<P>([](P& p, Args&) { return Variant::String(p.SecuenciaInicializacion()); })),
      Get(0x400301a7, "CajonAbierto", V::Boolean, VTL_BOOL_GET(p.CajonAbierto)),
      Put(0x400301a7, "CajonAbierto", V::Boolean, On<P>([](P& p, Args& a) {
            p.CajonAbierto = a.Boolean(0);
            return Variant();
          })),
      Get(0x400301a8, "OnLine", V::Boolean, VTL_BOOL_GET(p.OnLine)),
      Put(0x400301a8, "OnLine", V::Boolean, On<P>([](P& p, Args& a) {
            p.OnLine = a.Boolean(0);
            return Variant();
          })),
  };
  c.events = {
      {kEvDatosImpresos, "DatosImpresos", {Ref("tmpContador", V::Long)}},
      {kEvNuevoEstado,
       "NuevoEstado",
       {Ref("tmpError", V::Boolean), Ref("tmpSinPapel", V::Boolean)}},
      {kEvNuevasPropiedades, "NuevasPropiedades", {Ref("tmpPropiedades", V::Long)}},
      {kEvLoopPruebas, "LoopPruebas", {}},
      {kEvLogoGrabado, "LogoGrabado", {Ref("tmpContador", V::Long)}},
      {kEvUploading, "Uploading", {Ref("tmpBytesQuedan", V::Long), Ref("tmpBytesTotal", V::Long)}},
      {kEvDatosSerial, "DatosSerial", {Ref("tmpCantidad", V::Long)}},
      {kEvEstadoCajon, "EstadoCajon", {Ref("tmpAbierto", V::Boolean)}},
      {kEvEstadoOnLlineOffLine, "EstadoOnLlineOffLine", {Ref("tmpOnline", V::Boolean)}},
  };
  return c;
}

#undef VTL_LONG_GET
#undef VTL_BOOL_GET

using D = clsPrnPortData;

// A read/write property of the record: a get and a put under one DISPID.
template <auto Field>
void RecordProperty(ClassInfo& c, std::int32_t id, const char* name, V type) {
  c.members.push_back(Get(id, name, type, On<D>([](D& d, Args&) {
                            const auto& v = d.*Field;
                            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                              return Variant::String(v);
                            } else if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bool>) {
                              return Variant::Boolean(v);
                            } else {
                              return Variant::Integer(v);
                            }
                          })));
  c.members.push_back(Put(id, name, type, On<D>([](D& d, Args& a) {
                            auto& v = d.*Field;
                            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                              v = a.String(0);
                            } else if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bool>) {
                              v = a.Boolean(0);
                            } else {
                              v = a.Integer(0);
                            }
                            return Variant();
                          })));
}

ClassInfo BuildPrnPortData() {
  ClassInfo c{"clsPrnPortData",
              "_clsPrnPortData",
              "",
              "{6C0B5E20-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "{6C0B5E21-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "",
              false,
              {},
              {}};
  RecordProperty<&D::Name>(c, 0x40030000, "Name", V::String);
  RecordProperty<&D::Address>(c, 0x40030001, "Address", V::Integer);
  RecordProperty<&D::PortType>(c, 0x40030002, "PortType", V::String);
  RecordProperty<&D::EcpModeDescription>(c, 0x40030003, "EcpModeDescription", V::String);
  RecordProperty<&D::EcpModeValue>(c, 0x40030004, "EcpModeValue", V::Integer);
  RecordProperty<&D::Enabled>(c, 0x40030005, "Enabled", V::Integer);
  RecordProperty<&D::SPPExists>(c, 0x40030006, "SPPExists", V::Boolean);
  RecordProperty<&D::EPPExists>(c, 0x40030007, "EPPExists", V::Boolean);
  RecordProperty<&D::ECPExists>(c, 0x40030008, "ECPExists", V::Boolean);
  RecordProperty<&D::PS2Exists>(c, 0x40030009, "PS2Exists", V::Boolean);
  return c;
}

ClassInfo BuildSerial() {
  ClassInfo c{"clsSerial",
              "_clsSerial",
              "__clsSerial",
              "{6C0B5E30-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "{6C0B5E31-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              "{6C0B5E32-3A2F-4D8B-9E61-7F2A0C1D5B01}",
              true,
              {},
              {}};
  using S = clsSerial;
  c.members = {
      Method(0x60030001, "GetSystemMessage", {Ref("lngErrorCode", V::Long)}, V::String,
             On<S>([](S& s, Args& a) { return Variant::String(s.GetSystemMessage(a.Long(0))); })),
      Method(0x60030002, "CommOpen",
             {Ref("strPort", V::String),
              Opt("strSettings", V::String, Variant::String("baud=9600 parity=N data=8 stop=1"),
                  true)},
             V::Long, On<S>([](S& s, Args& a) {
               return Variant::Long(s.CommOpen(a.String(0), a.String(1)));
             })),
      Get(0x68030000, "PortID", V::Long,
          On<S>([](S& s, Args&) { return Variant::Long(s.PortID()); })),
      Method(0x60030007, "CommSet", {Ref("strSettings", V::String)}, V::Long,
             On<S>([](S& s, Args& a) { return Variant::Long(s.CommSet(a.String(0))); })),
      Method(0x60030008, "CommClose", {}, V::Long,
             On<S>([](S& s, Args&) { return Variant::Long(s.CommClose()); })),
      Method(0x60030009, "CommFlush", {}, V::Long,
             On<S>([](S& s, Args&) { return Variant::Long(s.CommFlush()); })),
      Method(0x6003000a, "CommRead", {Ref("tmpData", V::String)}, V::Variant,
             On<S>([](S& s, Args& a) { return s.CommRead(a.String(0)); })),
      Method(0x6003000b, "CommReadtmr", {}, V::Variant,
             On<S>([](S& s, Args&) { return s.CommReadtmr(); })),
      Method(0x6003000c, "CommWrite", {Ref("strData", V::String)}, V::Variant,
             On<S>([](S& s, Args& a) { return s.CommWrite(a.String(0)); })),
      Method(
          0x6003000e, "CommGetLine",
          {Ref("intPortid", V::Integer), Ref("intLine", V::Integer), Ref("blnState", V::Boolean)},
          V::Long, On<S>([](S& s, Args& a) {
            return Variant::Long(s.CommGetLine(a.Integer(0), a.Integer(1), a.Boolean(2)));
          })),
      Method(0x6003000f, "CommSetLine", {Ref("intLine", V::Integer), Ref("blnState", V::Boolean)},
             V::Long, On<S>([](S& s, Args& a) {
               return Variant::Long(s.CommSetLine(a.Integer(0), a.Boolean(1)));
             })),
      Method(0x60030010, "CommGetError", {Ref("strMessage", V::String)}, V::Long,
             On<S>([](S& s, Args& a) { return Variant::Long(s.CommGetError(a.String(0))); })),
  };
  c.events = {
      {kEvDataIn, "DataIn", {Ref("tmpBytesTotales", V::Long)}},
      {kEvDataOut, "DataOut", {Ref("tmpBytesTotales", V::Long)}},
  };
  return c;
}

}  // namespace

const MemberInfo* ClassInfo::Find(std::int32_t dispid, std::int32_t kind) const {
  for (const auto& m : members) {
    if (m.dispid != dispid) continue;
    if (m.kind & kind) return &m;
    if (m.kind == DISPATCH_METHOD && (kind & DISPATCH_PROPERTYGET)) return &m;
    if (m.kind == DISPATCH_PROPERTYGET && (kind & DISPATCH_METHOD)) return &m;
  }
  return nullptr;
}

std::int32_t ClassInfo::DispIdOf(std::string_view member) const {
  for (const auto& m : members) {
    if (SameName(m.name, member)) return m.dispid;
  }
  return -1;
}

std::int32_t ClassInfo::EventDispIdOf(std::string_view event) const {
  for (const auto& e : events) {
    if (SameName(e.name, event)) return e.dispid;
  }
  return -1;
}

const EventInfo* ClassInfo::FindEvent(std::int32_t dispid) const {
  for (const auto& e : events) {
    if (e.dispid == dispid) return &e;
  }
  return nullptr;
}

const ClassInfo& PrnPortClassInfo() {
  static const ClassInfo info = BuildPrnPort();
  return info;
}

const ClassInfo& PrnPortDataClassInfo() {
  static const ClassInfo info = BuildPrnPortData();
  return info;
}

const ClassInfo& SerialClassInfo() {
  static const ClassInfo info = BuildSerial();
  return info;
}

const std::vector<const ClassInfo*>& AllClasses() {
  static const std::vector<const ClassInfo*> all = {&PrnPortClassInfo(), &SerialClassInfo(),
                                                    &PrnPortDataClassInfo()};
  return all;
}

const ClassInfo* FindClassInfo(std::string_view name) {
  for (const ClassInfo* c : AllClasses()) {
    if (SameName(c->name, name)) return c;
  }
  return nullptr;
}

const std::vector<EnumInfo>& Enumerations() {
  static const std::vector<EnumInfo> all = {
      // The values are the library's own enumerations: one definition for both.
      {"eTiposDepuerto",
       {{"eTDPLPT", eTDPLPT}, {"eTDPCOM", eTDPCOM}, {"eTDPLAN", eTDPLAN}, {"eTDPWIN", eTDPWIN}}},
      {"ePortPropiedadesAdicionales",
       {{"ePDAImpresorasinCallback", ePDAImpresorasinCallback},
        {"ePDAImpresoraTermica", ePDAImpresoraTermica},
        {"ePDAAutoSpeed", ePDAAutoSpeed}}},
      {"enumHandshaking",
       {{"eHSKNone", eHSKNone},
        {"eHSKSoftware", eHSKSoftware},
        {"eHSKHardware", eHSKHardware},
        {"eHSKSoftwareHardware", eHSKSoftwareHardware}}},
  };
  return all;
}

const std::vector<BitFieldInfo>& DcbBitFields() {
  // From the platform's own masks, so the record and the device-control block agree bit for bit.
  constexpr auto bit = [](platform::DWORD mask) { return std::countr_zero(mask); };
  static const std::vector<BitFieldInfo> all = {
      {"fBinary", bit(platform::DCB_fBinary), 1},
      {"fParity", bit(platform::DCB_fParity), 1},
      {"fOutxCtsFlow", bit(platform::DCB_fOutxCtsFlow), 1},
      {"fOutxDsrFlow", bit(platform::DCB_fOutxDsrFlow), 1},
      {"fDtrControl", static_cast<int>(platform::DCB_fDtrControlShift), 2},
      {"fDsrSensitivity", bit(platform::DCB_fDsrSensitivity), 1},
      {"fTXContinueOnXoff", bit(platform::DCB_fTXContinueOnXoff), 1},
      {"fOutX", bit(platform::DCB_fOutX), 1},
      {"fInX", bit(platform::DCB_fInX), 1},
      {"fErrorChar", bit(platform::DCB_fErrorChar), 1},
      {"fNull", bit(platform::DCB_fNull), 1},
      {"fRtsControl", static_cast<int>(platform::DCB_fRtsControlShift), 2},
      {"fAbortOnError", bit(platform::DCB_fAbortOnError), 1},
  };
  return all;
}

}  // namespace vtl
