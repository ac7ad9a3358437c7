#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "interface/typelib.h"

namespace vtl {
namespace {

constexpr int M = DISPATCH_METHOD, G = DISPATCH_PROPERTYGET, L = DISPATCH_PROPERTYPUT;

// `table` lists members as "DISPID kind name arguments", the kind M (method), G (get), P (put)
// or B (get and put); a put's arguments leave out the new value it carries.
void ExpectTable(const ClassInfo& cls, const std::string& table) {
  std::set<std::tuple<std::int32_t, std::string, int, std::size_t>> want, have;
  std::istringstream in(table);
  std::string dispid, kind, name;
  std::size_t arguments = 0;
  while (in >> dispid >> kind >> name >> arguments) {
    const auto id = static_cast<std::int32_t>(std::stoul(dispid, nullptr, 16));
    if (kind != "P") want.insert({id, name, kind == "M" ? M : G, arguments});
    if (kind == "P" || kind == "B") want.insert({id, name, L, arguments});
  }
  for (const auto& m : cls.members) {
    const std::size_t params =
        m.kind == DISPATCH_PROPERTYPUT ? m.params.size() - 1 : m.params.size();
    have.insert({m.dispid, m.name, m.kind, params});
  }
  EXPECT_EQ(have, want) << cls.name;
  std::set<std::pair<std::int32_t, int>> seen;
  for (const auto& m : cls.members) {
    EXPECT_TRUE(seen.insert({m.dispid, m.kind}).second)
        << cls.name << "." << m.name << " repeats DISPID " << std::hex << m.dispid;
  }
}

// The DISPIDs are the contract with hosts bound to them at build time: none may change.
TEST(TypeLibrary, MembersCarryTheirFixedDispids) {
  ExpectTable(PrnPortClassInfo(),
              "68030003 G Baudios 0  60030007 M CheckError 3  68030002 G Busy 0  "
              "68030001 G OutputID 0  6003000b M CloseAll 0  6003000f M InicializarSerie 4  "
              "60030010 M InicializarParalelo 1  60030012 M CheckAutoSpeed 2  "
              "60030014 M Imprimir 2  68030000 G PortData 1  60030033 M CutPaper 1  "
              "60030035 M BeginInsertion 1  60030036 M BeginRemoval 1  60030037 M SetBitmap 5  "
              "60030038 M EndInsertion 0  60030039 M EndRemoval 0  6803003a B AlwaysOnLine 0  "
              "6803003b B Asincrono 0  6803003d B PortPropiedadesAdicionales 0  "
              "6803003c P LineasPorSegundo 0  6803003e B Rafaga 0  6803003f G LastStatusBIT 0  "
              "6003004c M ImprimeComando 1  6003004d M LoopPruebas 0  "
              "60030079 M gfSys_ShellAndWaitFor 2  6003008f M InicializarRed 2  "
              "600300b2 M ListaDePuertosExistentes 2  600300cb M InicializarWindows 1  "
              "600300ed M EnviarPruebasDeVelocidad 1  680300ee G Uploading 0  "
              "600300ef M UploadLogo 3  600300f0 M ClearAll 0  680300f1 B ControlDeFlujo 0  "
              "680300f2 G OutBufferCount 0  600300f3 M EndDocForzar 0  "
              "60030115 M CheckAutospeedAndHandshake 3  68030116 B ControlCajonAbierto 0  "
              "40030148 B DocName 0  60030160 M CommSetLine 2  "
              "68030161 B SecuenciaInicializacion 0  400301a7 B CajonAbierto 0  "
              "400301a8 B OnLine 0");
  ExpectTable(SerialClassInfo(),
              "60030001 M GetSystemMessage 1  60030002 M CommOpen 2  68030000 G PortID 0  "
              "60030007 M CommSet 1  60030008 M CommClose 0  60030009 M CommFlush 0  "
              "6003000a M CommRead 1  6003000b M CommReadtmr 0  6003000c M CommWrite 1  "
              "6003000e M CommGetLine 3  6003000f M CommSetLine 2  60030010 M CommGetError 1");
  std::string data;
  const char* names[] = {"Name",    "Address",   "PortType",  "EcpModeDescription", "EcpModeValue",
                         "Enabled", "SPPExists", "EPPExists", "ECPExists",          "PS2Exists"};
  for (int i = 0; i < 10; ++i) data += std::to_string(40030000 + i) + " B " + names[i] + " 0 ";
  ExpectTable(PrnPortDataClassInfo(), data);
  EXPECT_FALSE(PrnPortDataClassInfo().creatable);
  EXPECT_TRUE(PrnPortClassInfo().creatable);
  EXPECT_TRUE(SerialClassInfo().creatable);
}

TEST(TypeLibrary, EventsAndTheirArguments) {
  auto names = [](const ClassInfo& c) {
    std::string out;
    for (const auto& e : c.events) {
      out += (out.empty() ? "" : " ") + std::to_string(e.dispid) + " " + e.name + " " +
             std::to_string(e.params.size());
      for (const auto& p : e.params) EXPECT_TRUE(p.byRef) << e.name << " " << p.name;
    }
    return out;
  };
  EXPECT_EQ(names(PrnPortClassInfo()),
            "1 DatosImpresos 1 2 NuevoEstado 2 3 NuevasPropiedades 1 4 LoopPruebas 0 "
            "5 LogoGrabado 1 6 Uploading 2 7 DatosSerial 1 8 EstadoCajon 1 "
            "9 EstadoOnLlineOffLine 1");
  EXPECT_EQ(names(SerialClassInfo()), "1 DataIn 1 2 DataOut 1");
  EXPECT_EQ(PrnPortClassInfo().eventInterface, "__clsPrnPort");
  EXPECT_EQ(SerialClassInfo().eventInterface, "__clsSerial");
  EXPECT_EQ(PrnPortClassInfo().dispInterface, "_clsPrnPort");
  EXPECT_EQ(PrnPortDataClassInfo().dispInterface, "_clsPrnPortData");
}

TEST(TypeLibrary, OptionalParametersKeepTheirDefaults) {
  const auto& p = PrnPortClassInfo();
  const MemberInfo* serie = p.Find(0x6003000f, DISPATCH_METHOD);
  ASSERT_TRUE(serie);
  EXPECT_TRUE(serie->params[0].byRef);
  EXPECT_FALSE(serie->params[0].optional);
  EXPECT_EQ(serie->params[1].defaultValue, Variant::Long(-1));
  EXPECT_EQ(serie->params[2].defaultValue, Variant::Boolean(false));
  EXPECT_EQ(p.Find(0x6003008f, DISPATCH_METHOD)->params[1].defaultValue, Variant::Long(9100));
  EXPECT_EQ(p.Find(0x60030012, DISPATCH_METHOD)->params[1].defaultValue, Variant::Long(2));
  EXPECT_EQ(SerialClassInfo().Find(0x60030002, DISPATCH_METHOD)->params[1].defaultValue,
            Variant::String("baud=9600 parity=N data=8 stop=1"));
  EXPECT_EQ(p.DispIdOf("imprimir"), 0x60030014);
  EXPECT_EQ(p.DispIdOf("EstadoOnLlineOffLine"), -1) << "an event, not a member";
  EXPECT_EQ(p.EventDispIdOf("EstadoOnLlineOffLine"), 9);
  // Names that are both: each look-up answers for its own kind.
  EXPECT_EQ(p.DispIdOf("LoopPruebas"), 0x6003004d);
  EXPECT_EQ(p.EventDispIdOf("LoopPruebas"), 4);
  EXPECT_EQ(p.DispIdOf("uploading"), 0x680300ee);
  EXPECT_EQ(p.EventDispIdOf("uploading"), 6);
  EXPECT_EQ(p.EventDispIdOf("Imprimir"), -1);
  EXPECT_EQ(p.DispIdOf("NoSuchMember"), -1);
  EXPECT_EQ(FindClassInfo("CLSPRNPORT"), &p);
}

TEST(TypeLibrary, TheSerialLineRecordKeepsTheDeviceControlBlockLayout) {
  EXPECT_EQ(offsetof(dcbType, BaudRate), 4u);
  EXPECT_EQ(offsetof(dcbType, fBitFields), 8u);
  EXPECT_EQ(offsetof(dcbType, XonLim), 14u);
  EXPECT_EQ(offsetof(dcbType, ByteSize), 18u);
  EXPECT_EQ(offsetof(dcbType, EvtChar), 25u);
  EXPECT_EQ(offsetof(dcbType, wReserved1), 26u);
  int next = 0;
  for (const auto& f : DcbBitFields()) {
    EXPECT_EQ(f.bit, next) << f.name;
    next = f.bit + f.width;
  }
  EXPECT_EQ(next, 15) << "17 reserved bits remain";
  EXPECT_EQ(Enumerations().size(), 3u);
}

}  // namespace
}  // namespace vtl
