#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printer.h"
#include "render.h"
#include "sim_test_util.h"

namespace printersim {
namespace {

using test::B;
using test::Lines;

constexpr int ESC = 0x1B, GS = 0x1D, FS = 0x1C, DLE = 0x10;

// What a run leaves behind that must not depend on how the bytes were split into reads.
struct Outcome {
  std::string replies;
  std::string paper;
  std::vector<std::string> events;
  size_t nv = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome Run(const std::vector<std::string>& chunks, Options options = {}) {
  Printer p(options);
  Outcome out;
  p.SetLog([&](const std::string& line) {
    // Reads and text runs follow the chunking; commands, answers and results must not.
    if (line.find("\"ev\":\"rx\"") == std::string::npos &&
        line.find("\"ev\":\"text\"") == std::string::npos) {
      out.events.push_back(line);
    }
  });
  for (const std::string& c : chunks) out.replies += p.Feed(c);
  p.TearOff("end of test");
  for (const Receipt& r : p.Receipts()) out.paper += RenderText(r, 576);
  out.nv = p.NvImages().size();
  return out;
}

// Feeds `bytes` whole, split in two at every position, and one byte at a time; every way must
// print and answer exactly the same.
Outcome ExpectSameAtEverySplit(const std::string& bytes) {
  const Outcome whole = Run({bytes});
  for (size_t k = 1; k < bytes.size(); ++k) {
    Outcome split = Run({bytes.substr(0, k), bytes.substr(k)});
    EXPECT_EQ(split.replies, whole.replies) << "split at " << k;
    EXPECT_EQ(split.paper, whole.paper) << "split at " << k;
    EXPECT_EQ(split.events, whole.events) << "split at " << k;
    if (split != whole) break;
  }
  std::vector<std::string> singles;
  for (char c : bytes) singles.emplace_back(1, c);
  Outcome bytewise = Run(singles);
  EXPECT_EQ(bytewise.replies, whole.replies);
  EXPECT_EQ(bytewise.paper, whole.paper);
  EXPECT_EQ(bytewise.events, whole.events);
  return whole;
}

bool Contains(const std::vector<std::string>& lines, const std::string& what) {
  for (const std::string& l : lines) {
    if (l.find(what) != std::string::npos) return true;
  }
  return false;
}

TEST(Parser, TextAndLineFeedPrintLines) {
  Outcome o = ExpectSameAtEverySplit("Hello\nWorld\n" + B({GS, 'V', 0}));
  EXPECT_EQ(o.paper, "Hello\nWorld\n--8<-- full cut " + std::string(32, '-') + "\n");
}

TEST(Parser, CarriageReturnIsIgnoredAndTabsAlignToEightColumns) {
  Printer p;
  p.Feed("A\tB\r\nCDEFGHIJ\tK\n" + B({ESC, 'D', 4, 10, 0}) + "x\ty\tz\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  auto lines = Lines(p.Receipts()[0]);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "A       B");
  EXPECT_EQ(lines[1], "CDEFGHIJ        K");
  EXPECT_EQ(lines[2], "x   y     z");
}

TEST(Parser, InitialiseResetsModesAndClearsTheUnprintedLine) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  p.Feed(B({ESC, '!', 0x38, ESC, 'a', 1, ESC, 't', 16}) + "lost" + B({ESC, '@'}) + "kept\x80\n" +
         B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), std::vector<std::string>{"keptÇ"});
  EXPECT_TRUE(Contains(log, "\"ev\":\"discard\""));
}

TEST(Parser, PrintModeBitsSelectFontEmphasisSizeAndUnderline) {
  Outcome o = ExpectSameAtEverySplit(B({ESC, '!', 0x01}) + "a" + B({ESC, '!', 0x08}) + "b" +
                                     B({ESC, '!', 0x10}) + "c" + B({ESC, '!', 0x20}) + "d" +
                                     B({ESC, '!', 0x80}) + "e" + B({ESC, '!', 0x30}) + "f" +
                                     B({ESC, '!', 0}) + "g\n");
  EXPECT_EQ(o.paper.substr(0, o.paper.find('\n')),
            "{fb}a{/}{b}b{/}{2h}c{/}{2w}d{/}{u}e{/}{2w,2h}f{/}g");
}

TEST(Parser, EmphasisUnderlineAndCharacterSize) {
  Outcome o =
      ExpectSameAtEverySplit(B({ESC, 'E', 1}) + "x" + B({ESC, 'E', 0, ESC, '-', 2}) + "y" +
                             B({ESC, '-', '1'}) + "w" + B({ESC, '-', 0, GS, '!', 0x21}) + "z" +
                             B({GS, '!', 0, GS, 'B', 1}) + "r" + B({GS, 'B', 0}) + "{\n");
  EXPECT_EQ(o.paper.substr(0, o.paper.find('\n')), "{b}x{/}{u2}y{/}{u}w{/}{3w,2h}z{/}{inv}r{/}{{");
}

TEST(Parser, JustificationAppliesFromTheStartOfALine) {
  Printer p;
  p.Feed(B({ESC, 'a', 1}) + "ab\n" + B({ESC, 'a', 2}) + "ab\n" + B({ESC, 'a', '0'}) + "ab" +
         B({ESC, 'a', 1}) + "c\nd\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  auto lines = Lines(p.Receipts()[0]);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string(23, ' ') + "ab");
  EXPECT_EQ(lines[1], std::string(46, ' ') + "ab");
  EXPECT_EQ(lines[2], "abc");
  EXPECT_EQ(lines[3], std::string(23, ' ') + "d");
  EXPECT_EQ(p.Receipts()[0].blocks[0].justify, Justify::kCenter);
}

TEST(Parser, CodePageSelectsTheCharacterTable) {
  Printer p;
  p.Feed("\x82" + B({ESC, 't', 16}) + "\x80" + B({ESC, 't', 19}) + "\xD5" + B({ESC, 't', 17}) +
         "\x80" + B({ESC, 't', 99}) + "\x80\n" + B({ESC, '@'}) + "\x82\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), (std::vector<std::string>{"é€€А?", "é"}));
}

TEST(Parser, TablesForAccentedCapitalsAndCurrencySigns) {
  // PC857, ISO-8859-7 and ISO-8859-15: what common client libraries select for É, €, £ and Ğ.
  Printer p;
  p.Feed(B({ESC, 't', 13}) + "\x90\x9C\xA6" + B({ESC, 't', 15}) + "\xA4\xA3\xC1" +
         B({ESC, 't', 40}) + "\xA4\xA3\xC9\xBE\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), std::vector<std::string>{"É£Ğ€£Α€£ÉŸ"});
}

TEST(Parser, LongLinesWrapAtThePaperWidth) {
  Printer p;
  p.Feed(std::string(50, 'x') + "\n" + B({ESC, '!', 0x20}) + std::string(25, 'y') + "\n" +
         B({GS, 'V', 0}));
  auto lines = Lines(p.Receipts().at(0));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string(48, 'x'));
  EXPECT_EQ(lines[1], "xx");
  EXPECT_EQ(lines[2], "{2w}" + std::string(24, 'y') + "{/}");
  EXPECT_EQ(lines[3], "{2w}y{/}");
}

TEST(Parser, FeedCommandsAdvanceThePaper) {
  Outcome o = ExpectSameAtEverySplit("a" + B({ESC, 'd', 3}) + "b\n" +
                                     B({ESC, 'd', 2, ESC, 'J', 60, ESC, '3', 60}) + "\nc\n" +
                                     B({ESC, '2'}) + "\n");
  EXPECT_EQ(o.paper.substr(0, o.paper.find("--8<")), "a\n\n\nb\n\n\n\n\n\n\nc\n\n");
}

TEST(Parser, EveryCutEndsAReceiptWithItsKind) {
  struct Case {
    std::string cmd;
    Cut cut;
  };
  const std::vector<Case> cases = {
      {B({ESC, 'i'}), Cut::kPartial},     {B({ESC, 'm'}), Cut::kPartial},
      {B({GS, 'V', 0}), Cut::kFull},      {B({GS, 'V', 1}), Cut::kPartial},
      {B({GS, 'V', 48}), Cut::kFull},     {B({GS, 'V', 49}), Cut::kPartial},
      {B({GS, 'V', 65, 10}), Cut::kFull}, {B({GS, 'V', 66, 0}), Cut::kPartial},
      {B({GS, 'V', 97, 3}), Cut::kFull},  {B({GS, 'V', 104, 3}), Cut::kPartial},
  };
  std::string all;
  for (size_t i = 0; i < cases.size(); ++i) all += "r" + std::to_string(i) + "\n" + cases[i].cmd;
  ExpectSameAtEverySplit(all);
  Printer p;
  p.Feed(all);
  ASSERT_EQ(p.Receipts().size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(p.Receipts()[i].cut, cases[i].cut) << i;
    EXPECT_EQ(p.Receipts()[i].number, static_cast<int>(i) + 1);
    EXPECT_EQ(Lines(p.Receipts()[i]).at(0), "r" + std::to_string(i));
  }
}

TEST(Parser, TextNotYetFedIsPrintedByTheCut) {
  Printer p;
  p.Feed("no line feed" + B({GS, 'V', 66, 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), std::vector<std::string>{"no line feed"});
}

TEST(Parser, CutWithNothingPrintedMakesNoEmptyReceipt) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  p.Feed("x\n" + B({GS, 'V', 0, GS, 'V', 0}));
  EXPECT_EQ(p.Receipts().size(), 1u);
  EXPECT_TRUE(Contains(log, "nothing printed since the last cut"));
}

TEST(Parser, NulIsIgnored) {
  Outcome o = ExpectSameAtEverySplit(std::string("a\0b\n", 4));
  EXPECT_EQ(o.paper.substr(0, 3), "ab\n");
}

TEST(Parser, DrawerKickOpensAndTheDrawerClosesAfterTheConfiguredTime) {
  Options opt;
  opt.drawer_close_after = std::chrono::milliseconds(500);
  Printer p(opt);
  p.Tick(std::chrono::seconds(10));
  EXPECT_EQ(p.Feed(B({GS, 'a', 1})), B({0x14, 0, 0, 0}));
  EXPECT_EQ(p.Feed(B({ESC, 'p', 0, 25, 250})), B({0x10, 0, 0, 0}));
  EXPECT_TRUE(p.GetStatus().drawer_open);
  ASSERT_TRUE(p.NextWake().has_value());
  EXPECT_EQ(*p.NextWake(), std::chrono::milliseconds(10500));
  p.Tick(std::chrono::milliseconds(10499));
  EXPECT_TRUE(p.GetStatus().drawer_open);
  EXPECT_EQ(p.TakeReplyBytes(), "");
  p.Tick(std::chrono::milliseconds(10500));
  EXPECT_FALSE(p.GetStatus().drawer_open);
  EXPECT_EQ(p.TakeReplyBytes(), B({0x14, 0, 0, 0}));
  // The real-time pulse opens it too; a drawer opened by hand stays open until closed by hand.
  p.Feed(B({DLE, 0x14, 1, 0, 4}));
  EXPECT_TRUE(p.GetStatus().drawer_open);
  p.SetDrawer(false);
  p.SetDrawer(true);
  p.Tick(std::chrono::seconds(100));
  EXPECT_TRUE(p.GetStatus().drawer_open);
  p.Feed(B({ESC, 'p', 7, 1, 1}));  // no such connector pin: nothing happens
  p.SetDrawer(false);
  p.Feed(B({ESC, 'p', 7, 1, 1}));
  EXPECT_FALSE(p.GetStatus().drawer_open);
}

TEST(Parser, DrawerStaysOpenWhenAutomaticClosingIsOff) {
  Options opt;
  opt.drawer_close_after = Micros(0);
  Printer p(opt);
  p.Feed(B({ESC, 'p', 48, 50, 50}));
  EXPECT_FALSE(p.NextWake().has_value());
  p.Tick(std::chrono::hours(1));
  EXPECT_TRUE(p.GetStatus().drawer_open);
}

TEST(Parser, RealtimeRequestsAreAnsweredWhileOfflineAndQueuedWorkWaits) {
  Printer p;
  p.SetOffline(true);
  EXPECT_EQ(p.Feed("waiting\n" + B({GS, 'r', 1, DLE, 4, 1, GS, 'V', 0})), B({0x1E}));
  EXPECT_TRUE(p.Receipts().empty());
  EXPECT_EQ(p.Pending(), 14u);
  p.SetOffline(false);
  EXPECT_EQ(p.TakeReplyBytes(), B({0x00}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), std::vector<std::string>{"waiting"});
}

TEST(Parser, BusyStopsPrintingButNotTheRealtimeAnswers) {
  Printer p;
  p.SetBusy(true);
  EXPECT_EQ(p.Feed("x\n" + B({DLE, 4, 2, DLE, 4, 1})), B({0x12, 0x16}));
  EXPECT_TRUE(p.Current().Empty());
  p.SetBusy(false);
  EXPECT_FALSE(p.Current().Empty());
}

TEST(Parser, ReceiveBufferFillsWhileTheReceiptCannotPrint) {
  Printer p;
  EXPECT_EQ(p.Room(), 4096u);
  p.SetOffline(true);
  p.Receive(1, std::string(3000, 'a'));
  EXPECT_EQ(p.Room(), 1096u);
  // A command still arriving counts as well while the printer cannot process.
  p.Receive(1, B({FS, 'q', 1, 1, 0, 1, 0}) + std::string(3, '\0'));
  EXPECT_EQ(p.Room(), 1086u);
  p.Receive(1, std::string(5, '\0'));
  EXPECT_EQ(p.Room(), 1081u);
  p.Receive(1, std::string(2000, 'b'));
  EXPECT_EQ(p.Room(), 0u);
  p.SetOffline(false);
  EXPECT_EQ(p.Pending(), 0u);
  EXPECT_EQ(p.Room(), 4096u);
  // 3000 characters make 62 full lines of 48 and 24 over; with 2000 more, 42 lines and 8 over.
  EXPECT_EQ(p.Current().blocks.size(), 104u);
}

TEST(Parser, PrintSpeedPacesTheLines) {
  Options opt;
  opt.lines_per_second = 10;
  Printer p(opt);
  std::string job;
  for (int i = 0; i < 10; ++i) job += "line " + std::to_string(i) + "\n";
  p.Feed(job + B({GS, 'r', 1}));
  EXPECT_EQ(p.Current().blocks.size(), 1u);
  EXPECT_EQ(p.TakeReplyBytes(), "");
  ASSERT_TRUE(p.NextWake().has_value());
  EXPECT_EQ(*p.NextWake(), std::chrono::milliseconds(100));
  p.Tick(std::chrono::milliseconds(450));
  EXPECT_EQ(p.Current().blocks.size(), 5u);
  p.Tick(std::chrono::seconds(2));
  EXPECT_EQ(p.Current().blocks.size(), 10u);
  EXPECT_EQ(p.TakeReplyBytes(), B({0x00}));
}

TEST(Parser, PrinterIdentification) {
  Printer p;
  EXPECT_EQ(p.Feed(B({GS, 'I', 1})), B({0x20}));
  EXPECT_EQ(p.Feed(B({GS, 'I', 50})), B({0x02}));
  EXPECT_EQ(p.Feed(B({GS, 'I', 66})), std::string("_VTLDLLXT\0", 10));
  EXPECT_EQ(p.Feed(B({GS, 'I', 67})), std::string("_PRINTER-SIM\0", 13));
  EXPECT_EQ(p.Feed(B({GS, 'I', 200})), "");
}

TEST(Parser, RecoverFromAnErrorWithDleEnq) {
  Printer p;
  p.SetError(true);
  p.Feed("kept\n");
  EXPECT_EQ(p.Feed(B({DLE, 4, 3})), B({0x1A}));
  p.Feed(B({DLE, 5, 1}));
  EXPECT_FALSE(p.GetStatus().error);
  EXPECT_FALSE(p.Current().Empty());

  Printer q;
  q.SetError(true);
  q.Feed("dropped\n");
  q.Feed(B({DLE, 5, 2}));
  EXPECT_FALSE(q.GetStatus().error);
  EXPECT_TRUE(q.Current().Empty());
  EXPECT_EQ(q.Pending(), 0u);
}

TEST(Parser, ClearBufferAnswersAndDropsQueuedWork) {
  Printer p;
  p.SetOffline(true);
  EXPECT_EQ(p.Feed("gone\n" + B({DLE, 0x14, 8, 1, 3, 20, 1, 6, 2, 8})), B({0x37, 0x25, 0x00}));
  p.SetOffline(false);
  EXPECT_TRUE(p.Current().Empty());
}

TEST(Parser, UnknownCommandsAreSkippedMarkedAndReported) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  p.Feed("A" + B({ESC, 'Q'}) + "B" + B({DLE}) + "C" + B({ESC, '\n'}) + "D" + B({0x07}) + "E" +
         B({GS, 'Z'}) + "F\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]),
            (std::vector<std::string>{"A[unknown 1b 51]B[unknown 10]C[unknown 1b]",
                                      "D[unknown 07]E[unknown 1d 5a]F"}));
  EXPECT_TRUE(
      Contains(log, "\"ev\":\"unknown\",\"src\":0,\"cmd\":\"unknown command\",\"hex\":\"1b51\""));
  EXPECT_TRUE(Contains(log, "\"hex\":\"10\""));
  EXPECT_TRUE(Contains(log, "\"hex\":\"07\""));
}

TEST(Parser, MalformedCommandsAreReportedAndParsingGoesOn) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  std::string replies =
      p.Feed(B({GS, 'V', 7}) + "a" + B({DLE, 4, 9}) + "b" + B({ESC, '-', 5}) + "c" +
             B({GS, 'v', '0', 0, 0, 0, 1, 0}) + "d" + B({ESC, '*', 5, 1, 0}) + "e" +
             B({FS, 'q', 0}) + "f" + B({GS, 'r', 9, GS, 'v', 'x'}) + "g\n" + B({GS, 'V', 0}));
  EXPECT_EQ(replies, "");
  ASSERT_EQ(p.Receipts().size(), 1u);
  // Each command the parser could not use is marked where it stood; bad parameters of a
  // command it understood are only logged.
  EXPECT_EQ(Lines(p.Receipts()[0]),
            std::vector<std::string>{
                "[bad: GS V: unknown cut mode 7]abc[bad: GS v 0: image size 0x1 dots out of "
                "range]d[bad: ESC *: unknown mode 5]e[bad: FS q: no images]f[bad: GS v: unknown "
                "function 120]g"});
  for (const char* what :
       {"GS V: unknown cut mode 7", "DLE EOT: unknown status 9", "unknown underline mode 5",
        "GS v 0: image size 0x1", "ESC *: unknown mode 5", "FS q: no images",
        "GS r: unknown status 9", "GS v: unknown function"}) {
    EXPECT_TRUE(Contains(log, what)) << what;
  }
}

TEST(Parser, OversizedRasterIsSkippedByItsLength) {
  Printer p;
  // 10 x 4000 bytes is a valid frame but wider than any printer: skipped, not stored.
  std::string raster = B({GS, 'v', '0', 9, 10, 0, 0xA0, 0x0F}) + std::string(40000, '\x10');
  p.Feed(raster + "after\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(Lines(p.Receipts()[0]), std::vector<std::string>{"[bad: GS v 0: unknown mode 9]after"});
}

TEST(Parser, CommandCutOffByADisconnectLeavesThePrinterUsable) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  p.Feed(B({FS, 'q', 1, 1, 0, 1, 0}) + std::string(8, '\xFF'));
  ASSERT_EQ(p.NvImages().size(), 1u);
  p.Receive(1, "sent whole\n" + B({FS, 'q', 1, 2, 0, 1, 0}) + std::string(5, '\x01'));
  p.EndSource(1);
  EXPECT_TRUE(Contains(log, "truncated FS q (12 bytes received)"));
  EXPECT_EQ(p.NvImages().size(), 1u);
  EXPECT_EQ(p.NvImages().at(1).CountDots(), 64u);
  p.Receive(2, "next\n" + B({GS, 'V', 0, DLE, 4, 1}));
  EXPECT_EQ(p.TakeReplyBytes(), B({0x16}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(
      Lines(p.Receipts()[0]),
      (std::vector<std::string>{"sent whole", "[bad: truncated FS q (12 bytes received)]next"}));
}

TEST(Parser, RealtimeBytesInsideImageDataAreData) {
  Printer p;
  EXPECT_EQ(p.Feed(B({FS, 'q', 1, 1, 0, 1, 0, DLE, 4, 1, DLE, 4, 2, DLE, 4})), "");
  EXPECT_EQ(p.NvImages().size(), 1u);
  EXPECT_EQ(p.Feed(B({GS, 'v', '0', 0, 1, 0, 3, 0, DLE, 4, 1})), "");
  EXPECT_EQ(p.Feed(B({DLE, 4, 1})), B({0x16}));
}

TEST(Parser, EveryCommandSplitAtEveryByteBoundary) {
  std::string job =
      B({ESC, '@', GS, 'a', 0x0F, ESC, 'a', 1, ESC, '!', 0x30}) + "SHOP\n" +
      B({ESC, '!', 0, ESC, 'a', 0, ESC, 'E', 1}) + "Bold" + B({ESC, 'E', 0, ESC, '-', 1}) +
      "Under" + B({ESC, '-', 0, ESC, 't', 16}) + "\x80\t1\r\n" + B({0, ESC, 'd', 2}) +
      B({FS, 'q', 2, 1, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0, 2, 0}) + std::string(16, '\x5A') +
      B({FS, 'p', 2, 0, FS, 'p', 1, 3}) + B({GS, 'v', '0', 0, 1, 0, 2, 0, 0xF0, 0x0F}) +
      B({ESC, '*', 33, 2, 0}) + std::string(6, '\x81') + "\n" +
      B({DLE, 4, 1, DLE, 4, 2, DLE, 4, 3, DLE, 4, 4}) +
      B({GS, 'r', 1, GS, 'r', 2, GS, 'I', 1, DLE, 5, 1}) + B({ESC, 'p', 0, 25, 250, GS, 'k', 4}) +
      "123" + B({0}) + B({GS, '(', 'k', 6, 0, 49, 80, 48}) + "abc" +
      B({GS, '(', 'k', 3, 0, 49, 81, 48}) + B({GS, '(', 'L', 14, 0, 48, 112, 48, 1, 1, 49, 9, 0}) +
      B({2, 0, 0xFF, 0x80, 0x55, 0x00, GS, '(', 'L', 2, 0, 48, 50, ESC, 'Z', 0, 'L', 6, 2, 0}) +
      "zq" + B({ESC, '{', 1, GS, 'b', 1, ESC, 'B', 1, 1}) + "u" + B({ESC, '{', 0, GS, 'b', 0}) +
      B({ESC, 'Q', GS, 'V', 9}) + "x" + B({ESC, 'i'}) + "y" + B({ESC, 'm'}) + "z" +
      B({GS, 'V', 66, 0});
  Outcome o = ExpectSameAtEverySplit(job);
  EXPECT_EQ(o.nv, 2u);
  // GS a: 4; DLE EOT 1-4: 4; GS r 1, 2: 2; GS I 1: 1; the drawer opening: 4.
  EXPECT_EQ(o.replies.size(), 15u);
  EXPECT_NE(o.paper.find("[NV image 2: 8x16 dots]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[NV image 1: 16x16 dots]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[raster image: 8x2 dots]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[bit image: 2x24 dots]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[barcode CODE39: 123]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[QR code: abc]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[graphics: 9x2 dots]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[QR code: zq]"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[buzzer: 1 beeps, time 1]{ud,sm}u{/}"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("[unknown 1b 51][bad: GS V: unknown cut mode 9]x"), std::string::npos)
      << o.paper;
  EXPECT_NE(o.paper.find("{2w,2h}SHOP{/}"), std::string::npos) << o.paper;
  EXPECT_NE(o.paper.find("{b}Bold{/}{u}Under{/}€"), std::string::npos) << o.paper;
}

}  // namespace
}  // namespace printersim
