#include "port_fixture.h"

namespace vtl::testing {
namespace {

using Access = PrnPortTestAccess;
using platform::sim::WriteStep;

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

// Text without any line end, so that only the block rules decide where writes start and end.
std::string Plain(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(PortTest, LineEndsAreNormalisedToCrLfUnlessTheTextIsACommand) {
  Attach();
  port->Imprimir("A\r");
  port->Imprimir("A\nB");
  port->Imprimir("A\rB");
  port->Imprimir("C\r\nD\n\n");
  const std::int32_t last = port->Imprimir("x\ny\r", true);
  ASSERT_TRUE(PrintedJob(last));
  EXPECT_EQ(device->Written(), "A\r\nA\r\nBA\rBC\r\nD\r\n\r\nx\ny\r");
}

TEST_F(PortTest, JobsGetConsecutiveNumbersAndEachEndIsReportedOnce) {
  Attach();
  EXPECT_EQ(port->Imprimir("first\n"), 1);
  EXPECT_EQ(port->Imprimir("second\n"), 2);
  ASSERT_TRUE(PrintedJob(2));
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)", "DatosImpresos(2)"}));
  EXPECT_EQ(port->Imprimir("third\n"), 3);
  ASSERT_TRUE(PrintedJob(3));
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
  EXPECT_EQ(device->Written(), "first\r\nsecond\r\nthird\r\n");
  EXPECT_EQ(Access::TimerInterval(*port), 10) << "the tick keeps running after a job";
}

TEST_F(PortTest, BlocksEndJustAfterTheFirstLineEndPastTheBaseSize) {
  Attach();
  std::string text = Plain(3000);
  text[1099] = '\r';  // CR LF at positions 1100 and 1101, counting from 1
  text[1100] = '\n';
  ASSERT_TRUE(PrintedJob(port->Imprimir(text, true)));
  const auto sizes = RequestSizes();
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], 1101u);
  EXPECT_EQ(device->Requests()[0].substr(1099), "\r\n");
  EXPECT_EQ(sizes[1], 1024u);
  EXPECT_EQ(device->Written(), text);
}

TEST_F(PortTest, ALineEndFarBeyondTheBaseSizeDoesNotStretchTheBlock) {
  Attach();
  std::string text = Plain(6000);
  text[4999] = '\r';
  text[5000] = '\n';
  ASSERT_TRUE(PrintedJob(port->Imprimir(text, true)));
  // The pair lies past twice the base size; the first LF at or after it ends the first block.
  EXPECT_EQ(RequestSizes()[0], 5001u);
  EXPECT_EQ(device->Written(), text);
}

TEST_F(PortTest, TextWithoutLineEndsGoesOutInBaseSizedBlocks) {
  struct Case {
    std::int32_t propiedades;
    std::size_t tamano;
  };
  for (Case c : {Case{0, 1024}, Case{ePDAImpresorasinCallback, 64},
                 Case{ePDAImpresorasinCallback | ePDAImpresoraTermica, 1024}}) {
    SCOPED_TRACE(c.propiedades);
    device->ClearWritten();
    Attach();
    port->PortPropiedadesAdicionales(c.propiedades);
    const std::string text = Plain(3 * c.tamano + 7);
    ASSERT_TRUE(PrintedJob(port->Imprimir(text, true)));
    EXPECT_EQ(RequestSizes(), (std::vector<std::size_t>{c.tamano, c.tamano, c.tamano, 7}));
    EXPECT_EQ(device->Written(), text);
    port->CloseAll();
  }
}

TEST_F(PortTest, APartlyCompletedWritePutsItsTailBackInFront) {
  Attach();
  device->Script({WriteStep::Partial, 700, 0});
  const std::string text = Plain(2048);
  ASSERT_TRUE(PrintedJob(port->Imprimir(text, true)));
  const auto& requests = device->Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0], text.substr(0, 1024));
  // The 324 bytes the device did not take lead the next block.
  EXPECT_EQ(requests[1].substr(0, 324), text.substr(700, 324));
  EXPECT_EQ(device->Written(), text);
}

TEST_F(PortTest, AWriteRefusedAtOnceLosesNothing) {
  Attach();
  device->Script({WriteStep::Failed, 0, platform::ERROR_GEN_FAILURE});
  const std::string text = Plain(1500);
  port->Imprimir(text, true);
  port->EndDocForzar();
  EXPECT_EQ(device->Written(), "");
  EXPECT_TRUE(Access::Estado(*port) & 2) << "the error flag holds the loop";
  EXPECT_EQ(port->OutBufferCount(), 1500) << "the refused block is still in the buffer";
  ASSERT_TRUE(PrintedJob(1));
  EXPECT_EQ(device->Written(), text);
  // The poll that found the printer fit again told the host the error is over.
  EXPECT_EQ(events.Count("NuevoEstado(0,0)"), 2);
}

TEST_F(PortTest, AWriteThatFailsOnCompletionIsSentAgain) {
  Attach();
  device->Script({WriteStep::FailLater, 0, platform::ERROR_GEN_FAILURE});
  const std::string text = Plain(1500);
  ASSERT_TRUE(PrintedJob(port->Imprimir(text, true)));
  EXPECT_EQ(device->Written(), text);
  EXPECT_EQ(RequestSizes()[0], 1024u);
  EXPECT_EQ(RequestSizes()[1], 1024u) << "the whole failed block goes again";
}

TEST_F(PortTest, WithoutAPortNothingIsSentAndTheErrorFlagIsSet) {
  port->Imprimir("lost?\n");
  EXPECT_TRUE(Access::Estado(*port) & 2);
  EXPECT_EQ(port->OutBufferCount(), 7) << "the text waits for a port";
  PumpUntil([] { return false; }, 5000);
  EXPECT_EQ(port->OutBufferCount(), 7);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_LE(events.Count("NuevoEstado"), 3) << "no event storm while the port is missing";
}

TEST_F(PortTest, AHandlerMayPrintAndForceATickFromInsideDatosImpresos) {
  Attach();
  int calls = 0;
  events.onDatosImpresos = [&](std::int32_t& id) {
    if (++calls == 1) {
      EXPECT_EQ(id, 1);
      EXPECT_EQ(port->Imprimir("second\n"), 2);
      port->EndDocForzar();
    }
  };
  port->Imprimir("first\n");
  ASSERT_TRUE(PrintedJob(2));
  EXPECT_EQ(device->Written(), "first\r\nsecond\r\n");
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(0,0)", "DatosImpresos(1)", "DatosImpresos(2)"}));
}

TEST_F(PortTest, ABurstStartsSendingOnEveryCall) {
  Attach();
  port->Rafaga(true);
  device->Script({WriteStep::Pending});
  port->Imprimir(Plain(100));
  EXPECT_TRUE(device->HasPending());
  device->CompletePending();
  port->Imprimir("tail\n");
  // Without a burst the second call would only queue; with it, its tick found the finished write.
  EXPECT_EQ(device->Written().size(), 100u);
  ASSERT_TRUE(PrintedJob(2));
  EXPECT_EQ(device->Written(), Plain(100) + "tail\r\n");
}

TEST_F(PortTest, ABinaryMegabyteArrivesByteExact) {
  Attach();
  const std::string data = Pattern(1 << 20);
  ASSERT_EQ(data.find('\0') != std::string::npos, true);
  ASSERT_TRUE(PrintedJob(port->Imprimir(data, true)));
  EXPECT_TRUE(device->Written() == data);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
  // Empty text gives a job number but nothing to write, so no end of its own is reported: the
  // next job's end covers it.
  const std::int32_t empty = port->Imprimir("");
  PumpUntil([] { return false; }, 1000);
  EXPECT_EQ(events.Count("DatosImpresos(" + std::to_string(empty) + ")"), 0);
  ASSERT_TRUE(PrintedJob(port->Imprimir(std::string("\0\n", 2), true)));
  EXPECT_EQ(device->Written().size(), data.size() + 2);
}

TEST_F(PortTest, JobNumbersStopAtTheLargestLongWithAnOverflowError) {
  Attach();
  Access::SetOutputID(*port, 2147483646);
  EXPECT_EQ(port->Imprimir("last\n"), 2147483647);
  try {
    port->Imprimir("one too many\n");
    FAIL() << "expected an overflow";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_EQ(Access::TimerInterval(*port), 0) << "the tick stays stopped until a later call";
  EXPECT_EQ(Access::Cola(*port).find("one too many"), std::string::npos);
}

TEST_F(PortTest, ALogoUploadIsPacedToTheLineSpeed) {
  struct Case {
    std::int32_t baudios;
    bool lento;
    std::int64_t periodo;
  };
  for (Case c : {Case{9600, false, 420}, Case{9600, true, 1420}, Case{115200, false, 127},
                 Case{0, false, 10}}) {
    SCOPED_TRACE(c.baudios);
    device->ClearWritten();
    events.uploadingAt.clear();
    events.log.clear();
    Attach();
    Access::SetBaudios(*port, c.baudios);
    const std::string stream = Pattern(2000);
    port->Imprimir(stream, true);
    Access::SetUploading(*port, true, c.lento);
    ASSERT_TRUE(PumpUntil([&] { return !port->Uploading(); }));
    EXPECT_EQ(RequestSizes(), (std::vector<std::size_t>{512, 512, 512, 464}));
    EXPECT_EQ(device->Written(), stream);
    // Progress after each block but the last, one pacing period apart.
    ASSERT_EQ(events.uploadingAt.size(), 4u);
    EXPECT_EQ(events.uploadingAt[1] - events.uploadingAt[0], c.periodo);
    EXPECT_EQ(events.uploadingAt[2] - events.uploadingAt[1], c.periodo);
    std::vector<std::string> progreso;
    for (const auto& e : events.log) {
      if (e.rfind("Uploading", 0) == 0) progreso.push_back(e);
    }
    EXPECT_EQ(progreso, (std::vector<std::string>{"Uploading(1488,2000)", "Uploading(976,2000)",
                                                  "Uploading(464,2000)", "Uploading(0,2000)"}));
    EXPECT_EQ(events.Count("LogoGrabado"), 1);
    port->CloseAll();
  }
}

TEST_F(PortTest, AnUploadingHandlerWritesThroughToTheObjectsCounter) {
  Attach();
  events.onUploading = [](std::int32_t&, std::int32_t& total) { total = 5000; };
  port->Imprimir(Pattern(1024), true);
  Access::SetUploading(*port, true, false);
  ASSERT_TRUE(PumpUntil([&] { return !port->Uploading(); }));
  EXPECT_EQ(events.log.back(), "Uploading(0,5000)");
}

TEST_F(PortTest, TextGivenDuringAnUploadWaitsInFrontOfTheNextJob) {
  Attach();
  Access::SetUploading(*port, true, false);
  EXPECT_EQ(port->Imprimir("held\n"), 0);
  EXPECT_EQ(port->OutputID(), 0);
  Access::SetUploading(*port, false, false);
  ASSERT_TRUE(PrintedJob(port->Imprimir("after\n")));
  EXPECT_EQ(device->Written(), "held\r\nafter\r\n");
}

TEST_F(PortTest, AnAlwaysOnLinePrinterStillReportsEachJobsEnd) {
  Attach();
  port->AlwaysOnLine(true);
  // Every write completes at once here, so nothing but the job end itself can report it.
  ASSERT_TRUE(PrintedJob(port->Imprimir("one\n")));
  ASSERT_TRUE(PrintedJob(port->Imprimir(Plain(3000), true)));
  EXPECT_EQ(device->Written(), "one\r\n" + Plain(3000));
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

}  // namespace
}  // namespace vtl::testing
