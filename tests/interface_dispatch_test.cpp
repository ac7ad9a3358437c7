#include <gtest/gtest.h>

#include "engine/prnport.h"
#include "engine/prnport_test_access.h"
#include "interface/dispatch.h"
#include "platform/loop.h"
#include "platform/sim.h"

namespace vtl {
namespace {

constexpr std::int32_t kImprimir = 0x60030014, kOutputID = 0x68030001, kCheckError = 0x60030007,
                       kAlwaysOnLine = 0x6803003a, kDocName = 0x40030148,
                       kInicializarSerie = 0x6003000f, kCommSetLine = 0x60030160,
                       kRafaga = 0x6803003e;

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
      return e.HResult();
    }
    return S_OK;
  }

  std::shared_ptr<platform::sim::Device> device;
  std::shared_ptr<DispatchObject> object;
  clsPrnPort* port = nullptr;
  int cookie = 0;
  std::vector<std::string> log;
  std::function<void(const EventInfo&, std::vector<Variant>&)> onEvent;
  std::string lastError;
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
