#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "interface/dispatch.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "prnport_test_access.h"

namespace vtl {
namespace {

constexpr std::int32_t kImprimir = 0x60030014, kOutputID = 0x68030001, kCheckError = 0x60030007,
                       kAlwaysOnLine = 0x6803003a, kDocName = 0x40030148,
                       kInicializarSerie = 0x6003000f, kCommSetLine = 0x60030160,
                       kRafaga = 0x6803003e, kPropiedades = 0x6803003d, kCutPaper = 0x60030033,
                       kClearAll = 0x600300f0, kAddress = 0x40030001;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Loop::Current().UseManualClock(true);
    device = platform::sim::Register("dispatch-test");
    object = DispatchObject::Create("clsPrnPort");
    port = static_cast<clsPrnPort*>(object->Target());
    cookie = object->Connect([this](const EventInfo& e, std::vector<Variant>& args) {
      std::string line = e.name + "(";
      for (std::size_t i = 0; i < args.size(); ++i) line += (i ? "," : "") + args[i].ToString();
      log.push_back(line + ")");
      if (onEvent) onEvent(e, args);
    });
  }
  void TearDown() override {
    object.reset();
    platform::sim::Unregister("dispatch-test");
    platform::Loop::Current().RunUntil([] { return false; }, 1000);
    platform::Loop::Current().UseManualClock(false);
  }
  void Attach() {
    platform::HANDLE h =
        platform::CreateFileA("sim:dispatch-test", platform::GENERIC_WRITE, 0, nullptr,
                              platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED, 0);
    PrnPortTestAccess::AttachPort(*port, h, eTDPCOM, 0);
  }
  Variant Call(std::int32_t dispid, std::int32_t kind, std::vector<Variant> args = {}) {
    return object->Invoke(dispid, kind, args);
  }
  std::int32_t ErrorOf(std::int32_t dispid, std::int32_t kind, std::vector<Variant> args = {}) {
    try {
      object->Invoke(dispid, kind, args);
    } catch (const DispatchError& e) {
      lastError = e.what();
      lastNumber = e.Number();
      return e.HResult();
    }
    lastNumber = 0;
    return S_OK;
  }
  // The number a host sees for a call on `target` (0 when it succeeds).
  std::int32_t NumberOf(DispatchObject& target, std::int32_t dispid, std::int32_t kind,
                        std::vector<Variant> args) {
    try {
      target.Invoke(dispid, kind, args);
    } catch (const DispatchError& e) {
      return e.Number();
    }
    return 0;
  }

  std::shared_ptr<platform::sim::Device> device;
  std::shared_ptr<DispatchObject> object;
  clsPrnPort* port = nullptr;
  int cookie = 0;
  std::vector<std::string> log;
  std::function<void(const EventInfo&, std::vector<Variant>&)> onEvent;
  std::string lastError;
  std::int32_t lastNumber = 0;
};

TEST_F(DispatchTest, ImprimirReachesTheDeviceAndTheJobEndComesAsAnEvent) {
  Attach();
  Variant r = Call(kImprimir, DISPATCH_METHOD, {Variant::String("Caf\xe9 1,20 \x80\r")});
  EXPECT_EQ(r, Variant::Long(1));
  EXPECT_EQ(Call(kOutputID, DISPATCH_PROPERTYGET), Variant::Long(1));
  // Binary command data as a byte string, the optional argument given as text.
  Call(kImprimir, DISPATCH_METHOD,
       {Variant::ByteString(std::string("\x1d\x56\x42\x00", 4)), Variant::String("True")});
  ASSERT_TRUE(
      platform::RunUntil([&] { return !log.empty() && log.back() == "DatosImpresos(2)"; }, 60'000));
  EXPECT_EQ(device->Written(), std::string("Caf\xe9 1,20 \x80\r\n\x1d\x56\x42\x00", 17));
  EXPECT_EQ(log.front(), "NuevoEstado(False,False)");
}

TEST_F(DispatchTest, ArgumentsConvertAsAHostExpects) {
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::Long(-1)});
  EXPECT_EQ(Call(kAlwaysOnLine, DISPATCH_PROPERTYGET), Variant::Boolean(true));
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::String("false")});
  EXPECT_FALSE(port->AlwaysOnLine());
  Call(kRafaga, DISPATCH_PROPERTYPUT, {Variant::Integer(1)});
  EXPECT_TRUE(port->Rafaga());
  // A method is reachable with the get flag too, as hosts call both alike.
  EXPECT_EQ(Call(kOutputID, DISPATCH_METHOD | DISPATCH_PROPERTYGET), Variant::Long(0));
  Call(kDocName, DISPATCH_PROPERTYPUT, {Variant::Long(42)});
  EXPECT_EQ(port->DocName, "42");

  EXPECT_EQ(ErrorOf(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::String("maybe")}),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ErrorOf(kImprimir, DISPATCH_METHOD, {Variant::LongArray({1, 2})}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ErrorOf(kImprimir, DISPATCH_METHOD), DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(ErrorOf(kImprimir, DISPATCH_METHOD, {Variant::MissingArg()}), DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(ErrorOf(kImprimir, DISPATCH_METHOD,
                    {Variant::String("a"), Variant::Boolean(false), Variant::Long(1)}),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(ErrorOf(0x12345, DISPATCH_METHOD), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(ErrorOf(kOutputID, DISPATCH_PROPERTYPUT, {Variant::Long(5)}), DISP_E_MEMBERNOTFOUND)
      << "OutputID is read-only";
  EXPECT_EQ(port->OutputID(), 0);
}

TEST_F(DispatchTest, NumbersThatDoNotFitAreOverflowsNeverWrappedValues) {
  // Into a Long: from doubles, from numeric text (rounded first), from values of 64 bits.
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::Long(4)});
  for (const Variant& v :
       {Variant::Double(2147483648.0), Variant::Double(-2147483649.0), Variant::Double(1e300),
        Variant::Double(std::numeric_limits<double>::quiet_NaN()),
        Variant::Double(std::numeric_limits<double>::infinity()), Variant::String("2147483648"),
        Variant::String("2147483647.5"), Variant::String("-2147483648.6"), Variant::String("1E10"),
        Variant::String("1" + std::string(400, '0')),
        Variant::ByteString("99999999999999999999")}) {
    EXPECT_EQ(ErrorOf(kPropiedades, DISPATCH_PROPERTYPUT, {v}), DISP_E_OVERFLOW) << v.ToString();
    EXPECT_EQ(lastNumber, 6) << v.ToString();
  }
  EXPECT_EQ(port->PortPropiedadesAdicionales(), 4) << "an overflow stores nothing";
  // The edges themselves fit, and a tiny exponent is a zero, not an overflow.
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::String("-2147483648")});
  EXPECT_EQ(port->PortPropiedadesAdicionales(), std::numeric_limits<std::int32_t>::min());
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::String("-2147483648.5")});  // even
  EXPECT_EQ(port->PortPropiedadesAdicionales(), std::numeric_limits<std::int32_t>::min());
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::String("1e-400")});
  EXPECT_EQ(port->PortPropiedadesAdicionales(), 0);

  // Into an Integer: a record's property, and a ByRef argument whose variable stays untouched.
  auto record = std::make_shared<clsPrnPortData>();
  auto obj = DispatchObject::Wrap(record);
  for (const Variant& v : {Variant::Long(32768), Variant::Long(-32769), Variant::Double(32767.5),
                           Variant::String("40000"), Variant::String(" -32768.6 ")}) {
    EXPECT_EQ(NumberOf(*obj, kAddress, DISPATCH_PROPERTYPUT, {v}), 6) << v.ToString();
  }
  EXPECT_EQ(record->Address, 0);
  EXPECT_EQ(NumberOf(*obj, kAddress, DISPATCH_PROPERTYPUT, {Variant::String("32767.4")}), 0);
  EXPECT_EQ(record->Address, 32767);
  Variant line = Variant::Long(70002);
  EXPECT_EQ(ErrorOf(kCommSetLine, DISPATCH_METHOD, {Variant::Ref(line), Variant::Boolean(true)}),
            DISP_E_OVERFLOW);
  EXPECT_EQ(lastNumber, 6);
  EXPECT_EQ(line, Variant::Long(70002));
  // Text that is no number at all is a type mismatch, not an overflow.
  EXPECT_EQ(ErrorOf(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::String("12abc")}),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(lastNumber, 13);
}

TEST_F(DispatchTest, FractionsRoundHalfToEven) {
  const std::vector<std::pair<Variant, std::int32_t>> cases = {
      {Variant::String("2.5"), 2},   {Variant::String("3.5"), 4},     {Variant::String("-2.5"), -2},
      {Variant::String("-3.5"), -4}, {Variant::String(" 0.5 "), 0},   {Variant::String("1.5"), 2},
      {Variant::String("2.51"), 3},  {Variant::String("+6.5"), 6},    {Variant::String("25E-1"), 2},
      {Variant::String(".5"), 0},    {Variant::ByteString("7.5"), 8}, {Variant::Double(2.5), 2},
      {Variant::Double(-3.5), -4},   {Variant::Double(-0.4), 0}};
  auto record = std::make_shared<clsPrnPortData>();
  auto obj = DispatchObject::Wrap(record);
  for (const auto& [v, expected] : cases) {
    Call(kPropiedades, DISPATCH_PROPERTYPUT, {v});
    EXPECT_EQ(Call(kPropiedades, DISPATCH_PROPERTYGET), Variant::Long(expected)) << v.ToString();
    std::vector<Variant> a{v};
    obj->Invoke(kAddress, DISPATCH_PROPERTYPUT, a);
    EXPECT_EQ(record->Address, expected) << "as an Integer: " << v.ToString();
  }
  // A ByRef Integer gets back the rounded value in its declared type.
  Variant line = Variant::String("2.5");
  Call(kCommSetLine, DISPATCH_METHOD, {Variant::Ref(line), Variant::Boolean(false)});
  EXPECT_EQ(line, Variant::Integer(2));
  line = Variant::String("3.5");
  Call(kCommSetLine, DISPATCH_METHOD, {Variant::Ref(line), Variant::Boolean(false)});
  EXPECT_EQ(line, Variant::Integer(4));
  // Into text a Double keeps its fraction, with up to 15 digits.
  Call(kDocName, DISPATCH_PROPERTYPUT, {Variant::Double(2.5)});
  EXPECT_EQ(port->DocName, "2.5");
  Call(kDocName, DISPATCH_PROPERTYPUT, {Variant::Double(1e20)});
  EXPECT_EQ(port->DocName, "1E+20");
  // Any value but zero is True, a fraction included.
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::String("0.3")});
  EXPECT_TRUE(port->AlwaysOnLine());
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::Double(0.0)});
  EXPECT_FALSE(port->AlwaysOnLine());
}

TEST_F(DispatchTest, TrueIsMinusOneInEveryDirection) {
  // Into numbers, as a value and ByRef: a ByRef Long given True comes back -1.
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::Boolean(true)});
  EXPECT_EQ(Call(kPropiedades, DISPATCH_PROPERTYGET), Variant::Long(-1));
  EXPECT_EQ(Call(kPropiedades, DISPATCH_PROPERTYGET).ToInteger(), -1);
  Variant percent = Variant::Boolean(true);
  Call(kCutPaper, DISPATCH_METHOD, {Variant::Ref(percent)});
  EXPECT_EQ(percent, Variant::Long(-1));
  auto record = std::make_shared<clsPrnPortData>();
  auto obj = DispatchObject::Wrap(record);
  std::vector<Variant> a{Variant::Boolean(true)};
  obj->Invoke(kAddress, DISPATCH_PROPERTYPUT, a);
  EXPECT_EQ(record->Address, -1);
  // Out of the object: a Boolean result and an event argument read as numbers.
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::Long(-1)});
  EXPECT_EQ(Call(kAlwaysOnLine, DISPATCH_PROPERTYGET).ToLong(), -1);
  EXPECT_EQ(Variant::Boolean(true).ToString(), "True");

  Attach();
  std::vector<std::int32_t> errorsAsNumbers;
  onEvent = [&](const EventInfo& e, std::vector<Variant>& args) {
    if (e.name == "NuevoEstado") errorsAsNumbers.push_back(args[0].ToLong());
  };
  Call(kImprimir, DISPATCH_METHOD, {Variant::String("job\n")});
  Call(kClearAll, DISPATCH_METHOD);  // a job in progress: NuevoEstado(True, False)
  ASSERT_FALSE(errorsAsNumbers.empty());
  EXPECT_EQ(errorsAsNumbers.back(), -1);
}

TEST_F(DispatchTest, OnlyParametersDeclaredByRefAreWrittenBack) {
  Attach();
  // tmpDatos is ByRef, tmpComandoPuro is not: a host passing both by reference gets its second
  // variable back exactly as it was, not as the Boolean the member read from it.
  Variant datos = Variant::String("texto\n"), puro = Variant::String("0");
  Call(kImprimir, DISPATCH_METHOD, {Variant::Ref(datos), Variant::Ref(puro)});
  EXPECT_EQ(puro, Variant::String("0"));
  EXPECT_EQ(datos, Variant::String("texto\n"));
  Variant enDos = Variant::String("2.5");
  Call(kPropiedades, DISPATCH_PROPERTYPUT, {Variant::Ref(enDos)});
  EXPECT_EQ(enDos, Variant::String("2.5")) << "a property's value is never ByRef";
  Variant verdad = Variant::Long(1);
  Call(kAlwaysOnLine, DISPATCH_PROPERTYPUT, {Variant::Ref(verdad)});
  EXPECT_EQ(verdad, Variant::Long(1));
  EXPECT_TRUE(port->AlwaysOnLine());
  // Every parameter of the tables that is ByRef, checked against the ones a host relies on.
  std::vector<std::string> byRef;
  for (const ClassInfo* cls : AllClasses()) {
    for (const auto& m : cls->members) {
      for (const auto& p : m.params) {
        if (p.byRef) byRef.push_back(cls->name + "." + m.name + "." + p.name);
      }
    }
  }
  const std::vector<std::string> notByRef = {
      "clsPrnPort.InicializarSerie.tmpVelocidad",
      "clsPrnPort.Imprimir.tmpComandoPuro",
      "clsPrnPort.InicializarRed.tmpPuerto",
      "clsPrnPort.UploadLogo.tmpLento",
      "clsPrnPort.gfSys_ShellAndWaitFor.tmpCommandLine",
      "clsPrnPort.CheckAutoSpeed.tmpSoloCheckearlasPrimeras"};
  for (const auto& n : notByRef) {
    EXPECT_EQ(std::count(byRef.begin(), byRef.end(), n), 0) << n;
  }
  EXPECT_EQ(std::count(byRef.begin(), byRef.end(), "clsSerial.CommOpen.strSettings"), 1);
}

TEST_F(DispatchTest, EventArgumentsKeepTheirDeclaredTypesFromSinkToSink) {
  Attach();
  std::vector<std::string> seen;
  onEvent = [&](const EventInfo& e, std::vector<Variant>& args) {
    if (e.name == "DatosImpresos") args[0] = Variant::Boolean(true);
    if (e.name != "NuevoEstado") return;
    args[0] = Variant::Long(0);      // a C host's "False"
    args[1] = Variant::String("1");  // numeric text: True
  };
  object->Connect([&](const EventInfo& e, std::vector<Variant>& args) {
    if (e.name == "DatosImpresos") seen.push_back(args[0].ToString());
    if (e.name != "NuevoEstado") return;
    seen.push_back(std::string(VarTypeName(args[0].Type())) + " " + args[0].ToString() + " " +
                   VarTypeName(args[1].Type()) + " " + std::to_string(args[1].ToLong()));
    args[0] = Variant::String("no number");  // does not convert: the argument keeps its value
    args.resize(7);                          // nor may a sink change how many there are
  });
  object->Connect([&](const EventInfo& e, std::vector<Variant>& args) {
    if (e.name != "NuevoEstado") return;
    ASSERT_EQ(args.size(), 2u);
    seen.push_back(args[0].ToString() + " " + args[1].ToString());
  });
  Call(kImprimir, DISPATCH_METHOD, {Variant::String("job\n")});
  Call(kClearAll, DISPATCH_METHOD);
  // The first poll may have reported the printer ready already; ClearAll's events come last.
  ASSERT_GE(seen.size(), 3u);
  const std::size_t n = seen.size();
  EXPECT_EQ(seen[n - 3], "Boolean False Boolean -1");
  EXPECT_EQ(seen[n - 2], "False True");
  EXPECT_EQ(seen[n - 1], "-1") << "True written into a Long argument is -1";
}

TEST_F(DispatchTest, EveryMemberOfEveryClassHasAHandler) {
  // A member without one would answer "not implemented" instead of doing its work.
  for (const ClassInfo* cls : AllClasses()) {
    for (const auto& m : cls->members) EXPECT_TRUE(m.call) << cls->name << "." << m.name;
  }
  EXPECT_THROW(DispatchObject::Create("clsPrnPortData"), DispatchError) << "not creatable";
  EXPECT_THROW(DispatchObject::Create("Excel.Application"), DispatchError);
}

TEST_F(DispatchTest, OpeningsAndLinesGoThroughDispatch) {
  Variant texto = Variant::String("127.0.0.1:9");
  Call(0x6003008f, DISPATCH_METHOD, {Variant::Ref(texto)});
  EXPECT_EQ(PrnPortTestAccess::TipoPuerto(*port), eTDPLAN);
  EXPECT_EQ(Call(kCommSetLine, DISPATCH_METHOD, {Variant::Integer(2), Variant::Boolean(true)}),
            Variant::Long(0));
  Call(0x6003000b, DISPATCH_METHOD);
}

TEST_F(DispatchTest, ByRefArgumentsAreWrittenBackInTheirDeclaredType) {
  Attach();
  Variant busy = Variant::String("yes?"), error = Variant::Long(7), paper;
  // Only the value given is converted on the way in; the way out writes Booleans.
  busy = Variant::Long(1);
  Call(kCheckError, DISPATCH_METHOD,
       {Variant::Ref(busy), Variant::Ref(error), Variant::Ref(paper)});
  EXPECT_EQ(busy, Variant::Boolean(false));
  EXPECT_EQ(error, Variant::Boolean(false));
  EXPECT_EQ(paper, Variant::Boolean(false));
  // Passed by value, the same call leaves the caller's variants alone.
  Variant v = Variant::Long(1);
  std::vector<Variant> byValue{v, v, v};
  object->Invoke(kCheckError, DISPATCH_METHOD, byValue);
  EXPECT_EQ(byValue[0], Variant::Long(1));
}

TEST_F(DispatchTest, EventArgumentsAreByReference) {
  Attach();
  onEvent = [](const EventInfo& e, std::vector<Variant>& args) {
    if (e.name == "Uploading") args[1] = Variant::Long(5000);
  };
  port->Imprimir(std::string(1024, 'L'), true);
  PrnPortTestAccess::SetUploading(*port, true, false);
  ASSERT_TRUE(platform::RunUntil([&] { return !port->Uploading(); }, 60'000));
  // The handler changed the object's own counter: the second event already carries it.
  EXPECT_EQ(log.back(), "Uploading(0,5000)");
}

TEST_F(DispatchTest, AHostMayReleaseTheObjectFromInsideAnEvent) {
  Attach();
  onEvent = [this](const EventInfo& e, std::vector<Variant>&) {
    if (e.name == "DatosImpresos") object.reset();
  };
  Call(kImprimir, DISPATCH_METHOD, {Variant::String("bye\n")});
  ASSERT_TRUE(platform::RunUntil([&] { return object == nullptr; }, 60'000));
  log.clear();
  platform::Loop::Current().RunUntil([] { return false; }, 2000);
  EXPECT_TRUE(log.empty());
}

TEST_F(DispatchTest, ErrorsRaisedByAMemberComeBackWithTheirNumber) {
  PrnPortTestAccess::SetOutputID(*port, 2147483647);
  try {
    Call(kImprimir, DISPATCH_METHOD, {Variant::String("x")});
    FAIL();
  } catch (const DispatchError& e) {
    EXPECT_EQ(e.HResult(), DISP_E_EXCEPTION);
    EXPECT_EQ(e.Number(), 6);
  }
}

TEST_F(DispatchTest, PortDataRecordsReadAndWriteTheirProperties) {
  auto record = std::make_shared<clsPrnPortData>();
  auto obj = DispatchObject::Wrap(record);
  std::vector<Variant> a{Variant::Long(0x378)};
  obj->Invoke(0x40030001, DISPATCH_PROPERTYPUT, a);
  EXPECT_EQ(record->Address, 0x378);
  std::vector<Variant> none;
  EXPECT_EQ(obj->Invoke(0x40030001, DISPATCH_PROPERTYGET, none), Variant::Integer(0x378));
  std::vector<Variant> big{Variant::Long(70000)};
  EXPECT_THROW(obj->Invoke(0x40030001, DISPATCH_PROPERTYPUT, big), DispatchError)
      << "an Integer property overflows instead of wrapping";
  EXPECT_EQ(record->Address, 0x378);
}

}  // namespace
}  // namespace vtl
