#include <gtest/gtest.h>

#include <string>

#include "control.h"
#include "printer.h"
#include "sim_test_util.h"

namespace printersim {
namespace {

using test::B;

constexpr int ESC = 0x1B, GS = 0x1D, DLE = 0x10;

struct Condition {
  Paper paper;
  bool cover_open;
  bool drawer_open;
  bool offline;
  bool error;
};

void Apply(Printer& p, const Condition& c) {
  p.SetPaper(c.paper);
  p.SetCover(c.cover_open);
  p.SetDrawer(c.drawer_open);
  p.SetOffline(c.offline);
  p.SetError(c.error);
}

std::string Describe(const Condition& c) {
  return std::string("paper ") + PaperName(c.paper) + (c.cover_open ? ", cover open" : "") +
         (c.drawer_open ? ", drawer open" : "") + (c.offline ? ", offline" : "") +
         (c.error ? ", error" : "");
}

// The standard layouts, bit by bit: 0xx1xx10 for every DLE EOT reply.
struct Expected {
  uint8_t eot[5];
  uint8_t paper_sensor;
  uint8_t drawer;
};

Expected Reference(const Condition& c) {
  const bool out = c.paper == Paper::kOut;
  const bool near = c.paper != Paper::kOk;
  const bool off = c.offline || c.cover_open || out || c.error;
  const bool pin3_high = !c.drawer_open;
  Expected e{};
  e.eot[1] = static_cast<uint8_t>(0b00010010 | (pin3_high << 2) | (off << 3));
  e.eot[2] = static_cast<uint8_t>(0b00010010 | (c.cover_open << 2) | (out << 5) | (c.error << 6));
  e.eot[3] = static_cast<uint8_t>(0b00010010 | (c.error << 3));
  e.eot[4] = static_cast<uint8_t>(0b00010010 | (near ? 0b1100 : 0) | (out ? 0b1100000 : 0));
  e.paper_sensor = static_cast<uint8_t>((near ? 0b0011 : 0) | (out ? 0b1100 : 0));
  e.drawer = pin3_high ? 1 : 0;
  return e;
}

TEST(Status, ReplyBytesForEveryCombination) {
  for (Paper paper : {Paper::kOk, Paper::kNearEnd, Paper::kOut}) {
    for (int bits = 0; bits < 16; ++bits) {
      const Condition c{paper, (bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0};
      SCOPED_TRACE(Describe(c));
      Printer p;
      Apply(p, c);
      const Expected e = Reference(c);
      for (int n = 1; n <= 4; ++n) {
        const std::string reply = p.Feed(B({DLE, 4, n}));
        ASSERT_EQ(reply.size(), 1u) << "DLE EOT " << n;
        const auto b = static_cast<uint8_t>(reply[0]);
        EXPECT_EQ(b, e.eot[n]) << "DLE EOT " << n;
        EXPECT_EQ(b & 0b10010011, 0b00010010) << "fixed bits of DLE EOT " << n;
      }
      // GS r is not real-time: off line it waits until the printer is back.
      const std::string sensors = p.Feed(B({GS, 'r', 1, GS, 'r', 2}));
      if (!p.Online()) {
        EXPECT_EQ(sensors, "");
        Apply(p, Condition{Paper::kNearEnd, false, c.drawer_open, false, false});
        Expected now = Reference(Condition{Paper::kNearEnd, false, c.drawer_open, false, false});
        EXPECT_EQ(p.TakeReplyBytes(), B({now.paper_sensor, now.drawer}));
      } else {
        EXPECT_EQ(sensors, B({e.paper_sensor, e.drawer}));
      }
    }
  }
}

TEST(Status, WellKnownValues) {
  Printer p;
  EXPECT_EQ(p.Feed(B({DLE, 4, 1, DLE, 4, 2, DLE, 4, 3, DLE, 4, 4})), B({0x16, 0x12, 0x12, 0x12}));
  p.SetDrawer(true);
  EXPECT_EQ(p.Feed(B({DLE, 4, 1, GS, 'r', 2})), B({0x12, 0x00}));
  p.SetDrawer(false);
  p.SetPaper(Paper::kOut);
  EXPECT_EQ(p.Feed(B({DLE, 4, 1, DLE, 4, 2, DLE, 4, 4})), B({0x1E, 0x32, 0x7E}));
  p.SetPaper(Paper::kNearEnd);
  EXPECT_EQ(p.Feed(B({DLE, 4, 4, GS, 'r', 1, GS, 'r', '1'})), B({0x1E, 0x03, 0x03}));
  p.SetCover(true);
  EXPECT_EQ(p.Feed(B({DLE, 4, 2})), B({0x16}));
}

TEST(Status, DrawerLevelCanBeReversed) {
  Options opt;
  opt.drawer_open_is_high = true;
  Printer p(opt);
  EXPECT_EQ(p.Feed(B({DLE, 4, 1, GS, 'r', 2})), B({0x12, 0x00}));
  p.SetDrawer(true);
  EXPECT_EQ(p.Feed(B({DLE, 4, 1, GS, 'r', 2})), B({0x16, 0x01}));
}

TEST(Status, LegacyStatusRequests) {
  Printer p;
  p.SetPaper(Paper::kNearEnd);
  p.SetDrawer(true);
  EXPECT_EQ(p.Feed(B({ESC, 'v', ESC, 'u', 0})), B({0x03, 0x00}));
}

TEST(AutomaticStatusBack, SentOnceWhenEnabledAndNotWhenDisabled) {
  Printer p;
  EXPECT_EQ(p.Feed(B({GS, 'a', 0})), "");
  EXPECT_EQ(p.Feed(B({GS, 'a', 0x0F})), B({0x14, 0x00, 0x00, 0x00}));
  EXPECT_EQ(p.AsbMask(), 0x0F);
  EXPECT_EQ(p.Feed(B({GS, 'a', 0})), "");
  p.SetDrawer(true);
  p.SetPaper(Paper::kOut);
  EXPECT_EQ(p.TakeReplyBytes(), "");
}

TEST(AutomaticStatusBack, FourBytesOnEveryEnabledChange) {
  Printer p;
  p.Feed(B({GS, 'a', 0x0F}));
  struct Step {
    std::function<void()> change;
    std::string asb;
  };
  const std::vector<Step> steps = {
      {[&] { p.SetDrawer(true); }, B({0x10, 0, 0, 0})},
      {[&] { p.SetDrawer(false); }, B({0x14, 0, 0, 0})},
      {[&] { p.SetOffline(true); }, B({0x1C, 0, 0, 0})},
      {[&] { p.SetOffline(false); }, B({0x14, 0, 0, 0})},
      {[&] { p.SetCover(true); }, B({0x3C, 0, 0, 0})},
      {[&] { p.SetCover(false); }, B({0x14, 0, 0, 0})},
      {[&] { p.SetPaper(Paper::kNearEnd); }, B({0x14, 0, 0x03, 0})},
      {[&] { p.SetPaper(Paper::kOut); }, B({0x1C, 0, 0x0F, 0})},
      {[&] { p.SetPaper(Paper::kOk); }, B({0x14, 0, 0, 0})},
      {[&] { p.SetError(true); }, B({0x1C, 0x08, 0, 0})},
      {[&] { p.SetError(false); }, B({0x14, 0, 0, 0})},
      {[&] { p.SetBusy(true); }, ""},
      {[&] { p.SetBusy(false); }, ""},
      {[&] { p.SetDrawer(false); }, ""},  // no change, no report
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i].change();
    std::vector<Reply> r = p.TakeReplies();
    if (steps[i].asb.empty()) {
      EXPECT_TRUE(r.empty()) << "step " << i;
      continue;
    }
    ASSERT_EQ(r.size(), 1u) << "step " << i;
    EXPECT_EQ(r[0].bytes, steps[i].asb) << "step " << i;
    EXPECT_EQ(r[0].source, Reply::kAll);
  }
}

TEST(AutomaticStatusBack, OnlyEnabledItemsReport) {
  Printer drawer_only;
  drawer_only.Feed(B({GS, 'a', 1}));
  drawer_only.SetPaper(Paper::kOut);
  drawer_only.SetCover(true);
  drawer_only.SetError(true);
  EXPECT_EQ(drawer_only.TakeReplyBytes(), "");
  drawer_only.SetDrawer(true);
  EXPECT_EQ(drawer_only.TakeReplyBytes(), B({0x38, 0x08, 0x0F, 0}));

  Printer online_only;
  online_only.Feed(B({GS, 'a', 2}));
  online_only.SetDrawer(true);
  online_only.SetPaper(Paper::kNearEnd);
  EXPECT_EQ(online_only.TakeReplyBytes(), "");
  online_only.SetOffline(true);
  EXPECT_EQ(online_only.TakeReplyBytes(), B({0x18, 0, 0x03, 0}));

  Printer paper_only;
  paper_only.Feed(B({GS, 'a', 8}));
  paper_only.SetOffline(true);
  EXPECT_EQ(paper_only.TakeReplyBytes(), "");
  paper_only.SetPaper(Paper::kNearEnd);
  EXPECT_EQ(paper_only.TakeReplyBytes(), B({0x1C, 0, 0x03, 0}));

  Printer errors_only;
  errors_only.Feed(B({GS, 'a', 4}));
  errors_only.SetCover(true);
  EXPECT_EQ(errors_only.TakeReplyBytes(), "");
  errors_only.SetError(true);
  EXPECT_EQ(errors_only.TakeReplyBytes(), B({0x3C, 0x08, 0, 0}));
}

TEST(AutomaticStatusBack, KeptAcrossInitialiseAndAnsweredToTheAsker) {
  Printer p;
  p.Receive(7, B({GS, 'a', 3}));
  std::vector<Reply> first = p.TakeReplies();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].source, 7);
  p.Feed(B({ESC, '@'}));
  EXPECT_EQ(p.Feed(B({ESC, 'p', 0, 50, 50})), B({0x10, 0, 0, 0}));
}

TEST(AutomaticStatusBack, DrawerKickReportsOpenThenClosed) {
  Options opt;
  opt.drawer_close_after = std::chrono::milliseconds(100);
  Printer p(opt);
  p.Feed(B({GS, 'a', 3}));
  EXPECT_EQ(p.Feed(B({ESC, 'p', 0, 25, 250})), B({0x10, 0, 0, 0}));
  p.Tick(std::chrono::milliseconds(100));
  EXPECT_EQ(p.TakeReplyBytes(), B({0x14, 0, 0, 0}));
}

TEST(Status, AMutedPrinterReadsAndPrintsButAnswersNothing) {
  Printer p;
  p.SetMute(true);
  EXPECT_EQ(p.Feed(B({0x10, 4, 2}) + "muted\n" + B({0x10, 4, 1, 0x1d, 'a', 0xff})), "");
  EXPECT_EQ(p.Current().blocks.size(), 1u) << "the text was printed";
  p.SetPaper(Paper::kOut);
  EXPECT_EQ(p.TakeReplyBytes(), "") << "no automatic status back either";
  p.SetMute(false);
  EXPECT_EQ(p.Feed(B({0x10, 4, 2})), B({0x32}));
}

TEST(Control, LinesChangeTheState) {
  Printer p;
  struct Case {
    const char* line;
    std::function<bool(const Status&)> holds;
  };
  const std::vector<Case> cases = {
      {"paper out", [](const Status& s) { return s.paper == Paper::kOut; }},
      {"paper near-end", [](const Status& s) { return s.paper == Paper::kNearEnd; }},
      {"  Paper   OK ", [](const Status& s) { return s.paper == Paper::kOk; }},
      {"cover open", [](const Status& s) { return s.cover_open; }},
      {"cover closed", [](const Status& s) { return !s.cover_open; }},
      {"drawer open", [](const Status& s) { return s.drawer_open; }},
      {"drawer closed", [](const Status& s) { return !s.drawer_open; }},
      {"offline", [](const Status& s) { return s.offline; }},
      {"online", [](const Status& s) { return !s.offline; }},
      {"error", [](const Status& s) { return s.error; }},
      {"error clear", [](const Status& s) { return !s.error; }},
      {"busy", [](const Status& s) { return s.busy; }},
      {"ready", [](const Status& s) { return !s.busy; }},
      {"mute", [](const Status& s) { return s.mute; }},
      {"unmute", [](const Status& s) { return !s.mute; }},
  };
  for (const Case& c : cases) {
    ControlResult r = ApplyControl(p, c.line);
    EXPECT_TRUE(r.ok) << c.line;
    EXPECT_FALSE(r.quit) << c.line;
    EXPECT_TRUE(c.holds(p.GetStatus())) << c.line;
  }
  ControlResult status = ApplyControl(p, "status");
  EXPECT_NE(status.message.find("\"paper\":\"ok\""), std::string::npos) << status.message;
  EXPECT_TRUE(ApplyControl(p, "quit").quit);
  EXPECT_EQ(ApplyControl(p, "hang up").connection, ConnectionAction::kHangUp);
  EXPECT_EQ(ApplyControl(p, "reset").connection, ConnectionAction::kReset);
  EXPECT_EQ(ApplyControl(p, "paper out").connection, ConnectionAction::kNone);
  ControlResult bad = ApplyControl(p, "paper sideways");
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.message.find("paper sideways"), std::string::npos);
}

}  // namespace
}  // namespace printersim
