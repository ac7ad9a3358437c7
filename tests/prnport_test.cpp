#include "port_fixture.h"

namespace vtl::testing {
namespace {

using Access = PrnPortTestAccess;

TEST_F(PortTest, ANewObjectHasTheDocumentedDefaults) {
  EXPECT_EQ(port->Baudios(), 9600);
  EXPECT_TRUE(port->Asincrono());
  EXPECT_FALSE(port->AlwaysOnLine());
  EXPECT_FALSE(port->Rafaga());
  EXPECT_EQ(port->OutputID(), 0);
  EXPECT_EQ(port->OutBufferCount(), 0);
  EXPECT_FALSE(port->Busy());
  EXPECT_EQ(port->LastStatusBIT(), 0);
  EXPECT_EQ(port->ControlDeFlujo(), -1);
  EXPECT_FALSE(port->ControlCajonAbierto());
  EXPECT_FALSE(port->Uploading());
  EXPECT_EQ(port->PortPropiedadesAdicionales(), 0);
  EXPECT_EQ(port->SecuenciaInicializacion(), "");
  EXPECT_EQ(port->DocName, "");
  EXPECT_FALSE(port->CajonAbierto);
  EXPECT_FALSE(port->OnLine);
  EXPECT_EQ(Access::TimerInterval(*port), 0) << "the tick stays stopped until something starts it";
  // Settings that only take effect later are stored as given, without validation.
  port->ControlDeFlujo(77);
  port->PortPropiedadesAdicionales(-1);
  port->LineasPorSegundo(-3);
  EXPECT_EQ(port->ControlDeFlujo(), 77);
  EXPECT_EQ(port->PortPropiedadesAdicionales(), -1);
  EXPECT_EQ(Access::TimerInterval(*port), 0);
  // The drawer-line setting needs a port; without one it changes nothing.
  port->ControlCajonAbierto(true);
  EXPECT_FALSE(port->ControlCajonAbierto());
  EXPECT_TRUE(events.log.empty());
}

TEST_F(PortTest, SmallOperationsRaiseOnlyWhatTheySay) {
  Attach();
  port->ImprimeComando("\x1b@");
  port->ClearAll();
  port->LoopPruebas();
  PumpUntil([] { return false; }, 1000);
  EXPECT_EQ(events.log, std::vector<std::string>{"LoopPruebas"});
  EXPECT_EQ(device->WriteCalls(), 0);
}

TEST_F(PortTest, SinksAreCalledInConnectionOrderAndMayDisconnectEachOther) {
  struct Named : __clsPrnPort {
    std::vector<std::string>* order;
    std::string name;
    std::function<void()> then;
    void LoopPruebas() override {
      order->push_back(name);
      if (then) then();
    }
  };
  std::vector<std::string> order;
  Named a, b, c;
  a.order = b.order = c.order = &order;
  a.name = "a";
  b.name = "b";
  c.name = "c";
  port->Unadvise(&events);
  port->Advise(&a);
  port->Advise(&b);
  port->Advise(&c);
  port->Advise(&a);  // connecting twice does not call twice
  b.then = [&] { port->Unadvise(&c); };
  port->LoopPruebas();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
}

TEST_F(PortTest, CheckErrorReportsTheReadyLineOfASerialPrinter) {
  Attach();
  bool busy = true, error = true, paper = true;
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(busy);
  EXPECT_FALSE(error);
  EXPECT_FALSE(paper);
  Access::SetReady(*port, false);
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(busy);
  EXPECT_TRUE(error);
  EXPECT_FALSE(paper);
  // One report after opening, then only the change.
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)", "NuevoEstado(1,0)"}));
}

TEST_F(PortTest, ClearAllWithAJobInProgressReportsItAndDropsEverything) {
  Attach();
  device->Script({platform::sim::WriteStep::Pending});
  port->Imprimir(std::string(5000, 'x'));
  ASSERT_TRUE(PumpUntil([&] { return device->HasPending(); }));
  port->Imprimir("more\n");
  events.log.clear();
  port->ClearAll();
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)", "DatosImpresos(2)"}));
  EXPECT_EQ(port->OutBufferCount(), 0);
  EXPECT_EQ(Access::Estado(*port), 0);
  // The record tells the cancelled write as the system would (the raw status field differs
  // between systems; the answer does not).
  platform::OVERLAPPED record = Access::OvlEscritura(*port);
  platform::DWORD sent = 0;
  EXPECT_FALSE(
      platform::GetOverlappedResult(Access::Handle(*port), &record, &sent, platform::FALSE));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_OPERATION_ABORTED);
  // The cancelled write never lands, and nothing more is sent.
  device->CompletePending();
  PumpUntil([] { return false; }, 2000);
  EXPECT_EQ(device->Written(), "");
  EXPECT_EQ(device->WriteCalls(), 1);
  // The object keeps working afterwards.
  const std::int32_t id = port->Imprimir("next\n");
  ASSERT_TRUE(PrintedJob(id));
  EXPECT_EQ(device->Written(), "next\r\n");
}

TEST_F(PortTest, DroppingTheLastReferenceInsideAHandlerIsSafe) {
  Attach();
  bool dropped = false;
  events.onDatosImpresos = [&](std::int32_t&) {
    port.reset();
    dropped = true;
  };
  port->Imprimir("one\n");
  ASSERT_TRUE(PumpUntil([&] { return dropped; }));
  events.log.clear();
  PumpUntil([] { return false; }, 2000);
  EXPECT_TRUE(events.log.empty()) << "no tick may reach a released object";
}

TEST_F(PortTest, ReleasingWithAWritePendingOrATickDueIsSafe) {
  Attach();
  device->Script({platform::sim::WriteStep::Pending});
  port->Imprimir(std::string(3000, 'y'));
  ASSERT_TRUE(PumpUntil([&] { return device->HasPending(); }));
  EXPECT_GT(Access::TimerInterval(*port), 0);
  platform::Loop::Current().Advance(1000);  // the next tick is overdue
  port.reset();
  EXPECT_FALSE(device->IsOpen());
  device->CompletePending();
  events.log.clear();
  PumpUntil([] { return false; }, 2000);
  EXPECT_TRUE(events.log.empty());
  EXPECT_EQ(device->Written(), "");
}

TEST_F(PortTest, CloseAllKeepsQueuedTextAndRenewsTheEvents) {
  Attach();
  device->Script({platform::sim::WriteStep::Pending});
  port->Imprimir(std::string(2000, 'z'));
  ASSERT_TRUE(PumpUntil([&] { return device->HasPending(); }));
  port->CloseAll();
  EXPECT_EQ(Access::Handle(*port), 0);
  EXPECT_FALSE(device->IsOpen());
  // The aborted write signalled the old event; the renewed one is clear. (Its handle value may
  // be the old one's: Windows hands a closed handle's value out again at once.)
  const platform::HANDLE newEvent = Access::OvlEscritura(*port).hEvent;
  EXPECT_NE(newEvent, 0);
  EXPECT_EQ(platform::WaitForSingleObject(newEvent, 0), platform::WAIT_TIMEOUT);
  EXPECT_GT(port->OutBufferCount(), 0);
}

}  // namespace
}  // namespace vtl::testing
