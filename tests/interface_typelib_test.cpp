#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "interface/typelib.h"

namespace vtl {
namespace {

struct Expected {
  std::int32_t dispid;
  const char* name;
  int kind;
  std::size_t params;
};

constexpr int M = DISPATCH_METHOD, G = DISPATCH_PROPERTYGET, L = DISPATCH_PROPERTYPUT;

void ExpectTable(const ClassInfo& cls, const std::vector<Expected>& expected) {
  std::set<std::tuple<std::int32_t, std::string, int, std::size_t>> want, have;
  for (const auto& e : expected) want.insert({e.dispid, e.name, e.kind, e.params});
  for (const auto& m : cls.members) {
    // A put carries the new value as its one argument.
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

TEST(TypeLibrary, PrnPortMembersCarryTheirFixedDispids) {
  ExpectTable(PrnPortClassInfo(), {{0x68030003, "Baudios", G, 0},
                                   {0x60030007, "CheckError", M, 3},
                                   {0x68030002, "Busy", G, 0},
                                   {0x68030001, "OutputID", G, 0},
                                   {0x6003000b, "CloseAll", M, 0},
                                   {0x6003000f, "InicializarSerie", M, 4},
                                   {0x60030010, "InicializarParalelo", M, 1},
                                   {0x60030012, "CheckAutoSpeed", M, 2},
                                   {0x60030014, "Imprimir", M, 2},
                                   {0x68030000, "PortData", G, 1},
                                   {0x60030033, "CutPaper", M, 1},
                                   {0x60030035, "BeginInsertion", M, 1},
                                   {0x60030036, "BeginRemoval", M, 1},
                                   {0x60030037, "SetBitmap", M, 5},
                                   {0x60030038, "EndInsertion", M, 0},
                                   {0x60030039, "EndRemoval", M, 0},
                                   {0x6803003a, "AlwaysOnLine", L, 0},
                                   {0x6803003a, "AlwaysOnLine", G, 0},
                                   {0x6803003b, "Asincrono", L, 0},
                                   {0x6803003b, "Asincrono", G, 0},
                                   {0x6803003d, "PortPropiedadesAdicionales", G, 0},
                                   {0x6803003d, "PortPropiedadesAdicionales", L, 0},
                                   {0x6803003c, "LineasPorSegundo", L, 0},
                                   {0x6803003e, "Rafaga", L, 0},
                                   {0x6803003e, "Rafaga", G, 0},
                                   {0x6803003f, "LastStatusBIT", G, 0},
                                   {0x6003004c, "ImprimeComando", M, 1},
                                   {0x6003004d, "LoopPruebas", M, 0},
                                   {0x60030079, "gfSys_ShellAndWaitFor", M, 2},
                                   {0x6003008f, "InicializarRed", M, 2},
                                   {0x600300b2, "ListaDePuertosExistentes", M, 2},
                                   {0x600300cb, "InicializarWindows", M, 1},
                                   {0x600300ed, "EnviarPruebasDeVelocidad", M, 1},
                                   {0x680300ee, "Uploading", G, 0},
                                   {0x600300ef, "UploadLogo", M, 3},
                                   {0x600300f0, "ClearAll", M, 0},
                                   {0x680300f1, "ControlDeFlujo", L, 0},
                                   {0x680300f1, "ControlDeFlujo", G, 0},
                                   {0x680300f2, "OutBufferCount", G, 0},
                                   {0x600300f3, "EndDocForzar", M, 0},
                                   {0x60030115, "CheckAutospeedAndHandshake", M, 3},
                                   {0x68030116, "ControlCajonAbierto", L, 0},
                                   {0x68030116, "ControlCajonAbierto", G, 0},
                                   {0x40030148, "DocName", G, 0},
                                   {0x40030148, "DocName", L, 0},
                                   {0x60030160, "CommSetLine", M, 2},
                                   {0x68030161, "SecuenciaInicializacion", L, 0},
                                   {0x68030161, "SecuenciaInicializacion", G, 0},
                                   {0x400301a7, "CajonAbierto", G, 0},
                                   {0x400301a7, "CajonAbierto", L, 0},
                                   {0x400301a8, "OnLine", G, 0},
                                   {0x400301a8, "OnLine", L, 0}});
}

TEST(TypeLibrary, SerialAndPortDataMembersCarryTheirFixedDispids) {
  ExpectTable(SerialClassInfo(), {{0x60030001, "GetSystemMessage", M, 1},
                                  {0x60030002, "CommOpen", M, 2},
                                  {0x68030000, "PortID", G, 0},
                                  {0x60030007, "CommSet", M, 1},
                                  {0x60030008, "CommClose", M, 0},
                                  {0x60030009, "CommFlush", M, 0},
                                  {0x6003000a, "CommRead", M, 1},
                                  {0x6003000b, "CommReadtmr", M, 0},
                                  {0x6003000c, "CommWrite", M, 1},
                                  {0x6003000e, "CommGetLine", M, 3},
                                  {0x6003000f, "CommSetLine", M, 2},
                                  {0x60030010, "CommGetError", M, 1}});
  std::vector<Expected> data;
  const char* names[] = {"Name",    "Address",   "PortType",  "EcpModeDescription", "EcpModeValue",
                         "Enabled", "SPPExists", "EPPExists", "ECPExists",          "PS2Exists"};
  for (std::int32_t i = 0; i < 10; ++i) {
    data.push_back({0x40030000 + i, names[i], G, 0});
    data.push_back({0x40030000 + i, names[i], L, 0});
  }
  ExpectTable(PrnPortDataClassInfo(), data);
  EXPECT_FALSE(PrnPortDataClassInfo().creatable);
  EXPECT_TRUE(PrnPortClassInfo().creatable);
  EXPECT_TRUE(SerialClassInfo().creatable);
}

TEST(TypeLibrary, EventsAndTheirArguments) {
  auto names = [](const ClassInfo& c) {
    std::vector<std::tuple<std::int32_t, std::string, std::size_t>> out;
    for (const auto& e : c.events) {
      out.push_back({e.dispid, e.name, e.params.size()});
      for (const auto& p : e.params) EXPECT_TRUE(p.byRef) << e.name << " " << p.name;
    }
    return out;
  };
  using T = std::vector<std::tuple<std::int32_t, std::string, std::size_t>>;
  EXPECT_EQ(names(PrnPortClassInfo()), (T{{1, "DatosImpresos", 1},
                                          {2, "NuevoEstado", 2},
                                          {3, "NuevasPropiedades", 1},
                                          {4, "LoopPruebas", 0},
                                          {5, "LogoGrabado", 1},
                                          {6, "Uploading", 2},
                                          {7, "DatosSerial", 1},
                                          {8, "EstadoCajon", 1},
                                          {9, "EstadoOnLlineOffLine", 1}}));
  EXPECT_EQ(names(SerialClassInfo()), (T{{1, "DataIn", 1}, {2, "DataOut", 1}}));
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
