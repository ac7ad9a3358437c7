// A spooler port reports what the spooler does with its documents: printed when the spooler has
// handed a document to the printer, an error while its queue is stopped or a document of its is
// held, and never "printed" for a document someone canceled. Against a private CUPS server.
#include "cups_fixture.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"

namespace vtl::testing {
namespace {

using platform::Loop;

class SpoolerFollow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cups.Ready());
    port = clsPrnPort::Create();
    port->Advise(&events);
    port->InicializarWindows("vtl_queue");
    ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 300);
  }
  bool Pump(const std::function<bool()>& cond) { return Loop::Current().RunUntil(cond, 60'000); }
  // Waits until the spooler holds `count` unfinished jobs of the queue; their numbers.
  std::vector<int> Jobs(std::size_t count) {
    std::vector<int> ids;
    Pump([&] { return (ids = cups.ActiveJobs("vtl_queue")).size() == count; });
    return ids;
  }
  // Lets the port look at the spooler a few times (it looks once a second).
  void Settle() {
    Loop::Current().RunUntil([] { return false; }, 2500);
  }

  Collector printer;
  PrivateCups cups{"vtl_queue", printer.Port()};
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(SpoolerFollow, AStoppedQueueIsAnErrorAndItsDocumentPrintsOnceWhenItResumes) {
  ASSERT_TRUE(cups.Do(IPP_OP_PAUSE_PRINTER, "vtl_queue"));
  const std::int32_t job = port->Imprimir("held back\n");
  ASSERT_EQ(Jobs(1).size(), 1U) << "the spooler accepted the document";
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 1; }));
  Settle();
  EXPECT_EQ(events.Count("DatosImpresos"), 0) << "accepted is not printed";
  bool error = false, busy = false, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error);

  ASSERT_TRUE(cups.Do(IPP_OP_RESUME_PRINTER, "vtl_queue"));
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos") > 0; }));
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_EQ(printer.Jobs(), (std::vector<std::string>{std::string("held back\r\n\0", 12)}));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(0,0)", "NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(job) + ")"}));
}

TEST_F(SpoolerFollow, AHeldDocumentKeepsTheErrorAfterTheQueueResumesUntilItIsReleased) {
  ASSERT_TRUE(cups.Do(IPP_OP_PAUSE_PRINTER, "vtl_queue"));
  const std::int32_t job = port->Imprimir("wait for me\n");
  const std::vector<int> ids = Jobs(1);
  ASSERT_EQ(ids.size(), 1U);
  ASSERT_TRUE(cups.Do(IPP_OP_HOLD_JOB, "vtl_queue", ids[0]));
  ASSERT_TRUE(cups.Do(IPP_OP_RESUME_PRINTER, "vtl_queue"));
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 1; }));
  Settle();
  EXPECT_EQ(events.Count("NuevoEstado(0,0)"), 1) << "still only the first one";
  EXPECT_EQ(events.Count("DatosImpresos"), 0);

  ASSERT_TRUE(cups.Do(IPP_OP_RELEASE_JOB, "vtl_queue", ids[0]));
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos(" + std::to_string(job) + ")"); }));
  EXPECT_EQ(events.log.back(), "DatosImpresos(" + std::to_string(job) + ")");
  EXPECT_EQ(events.Count("NuevoEstado(0,0)"), 2);
  ASSERT_TRUE(printer.WaitFor(1));
}

TEST_F(SpoolerFollow, ACanceledDocumentIsNeverReportedPrintedAndTheNextPrintedOneClearsTheError) {
  ASSERT_TRUE(cups.Do(IPP_OP_PAUSE_PRINTER, "vtl_queue"));
  const std::int32_t first = port->Imprimir("never printed\n");
  const std::vector<int> ids = Jobs(1);
  ASSERT_EQ(ids.size(), 1U);
  ASSERT_TRUE(cups.Do(IPP_OP_CANCEL_JOB, "vtl_queue", ids[0]));
  ASSERT_TRUE(cups.Do(IPP_OP_RESUME_PRINTER, "vtl_queue"));
  Settle();
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  bool error = false, busy = false, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error) << "the host hears that a document of its was lost";

  const std::int32_t second = port->Imprimir("printed\n");
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos") > 0; }));
  EXPECT_EQ(events.log.back(), "DatosImpresos(" + std::to_string(second) + ")");
  EXPECT_GT(second, first);
  EXPECT_EQ(events.log[events.log.size() - 2], "NuevoEstado(0,0)");
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_EQ(printer.Jobs(), (std::vector<std::string>{std::string("printed\r\n\0", 10)}));
}

}  // namespace
}  // namespace vtl::testing
