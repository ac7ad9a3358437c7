#include <gtest/gtest.h>

#include <random>
#include <string>

#include "parser.h"
#include "printer.h"
#include "render.h"
#include "sim_test_util.h"

namespace printersim {
namespace {

using test::B;

// Random streams that look like printer data: mostly command prefixes, command letters, small
// numbers and text, so that the parser meets every command with random, often absurd, lengths.
std::string RandomStream(std::mt19937& rng, size_t max_len) {
  static const std::string kAlphabet =
      std::string("\x1b\x1d\x1c\x10\x04\x05\x14\x00\x0a\x09\x0d", 11) +
      "@!EG-atMdJ23impvu*D(VvkraI8qp0L1AB \xff\x80";
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<int> kind(0, 9);
  std::string s(len(rng), '\0');
  for (char& c : s) {
    c = kind(rng) < 7 ? kAlphabet[rng() % kAlphabet.size()] : static_cast<char>(rng() & 0xFF);
  }
  return s;
}

std::vector<std::string> RandomChunks(std::mt19937& rng, const std::string& s) {
  std::vector<std::string> chunks;
  size_t at = 0;
  while (at < s.size()) {
    size_t n = 1 + rng() % 300;
    chunks.push_back(s.substr(at, n));
    at += n;
  }
  return chunks;
}

TEST(RandomInput, ParserAccountsForEveryByte) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 400; ++round) {
    const std::string s = RandomStream(rng, 3000);
    Parser parser;
    std::vector<Token> tokens;
    for (const std::string& chunk : RandomChunks(rng, s)) parser.Feed(chunk, tokens);
    size_t wire = 0;
    for (const Token& t : tokens) wire += t.wire;
    ASSERT_EQ(wire + parser.Partial(), s.size()) << "round " << round;
    parser.Abort(tokens);
    EXPECT_EQ(parser.Partial(), 0u);
    EXPECT_FALSE(parser.InCommand());
  }
}

TEST(RandomInput, PrinterSurvivesAndRecovers) {
  std::mt19937 rng(77);
  Options opt;
  opt.nv_capacity = 64 * 1024;
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  for (int round = 0; round < 200; ++round) {
    Printer p(opt);
    const std::string s = RandomStream(rng, 4000);
    for (const std::string& chunk : RandomChunks(rng, s)) {
      p.Receive(1, chunk);
      ASSERT_LE(p.Room(), opt.receive_buffer);
      p.Tick(p.Now() + std::chrono::milliseconds(5));
    }
    // Whatever the noise left behind, a host that connects afresh is served normally.
    p.EndSource(1);
    p.SetDrawer(false);
    p.Receive(2, B({0x1b, '@'}) + "SENTINEL\n" + B({0x1d, 'V', 0, 0x10, 4, 1}));
    const std::string replies = p.TakeReplyBytes();
    ASSERT_FALSE(replies.empty()) << "round " << round;
    EXPECT_EQ(static_cast<uint8_t>(replies.back()), 0x16) << "round " << round;
    ASSERT_FALSE(p.Receipts().empty()) << "round " << round;
    const Receipt& last = p.Receipts().back();
    EXPECT_NE(RenderText(last, 576).find("SENTINEL"), std::string::npos) << "round " << round;
    if (round % 20 == 0) {
      for (const Receipt& r : p.Receipts()) {
        Canvas c = renderer.Draw(r, 576);
        EXPECT_EQ(c.gray.size(), static_cast<size_t>(c.width) * c.height);
      }
    }
  }
}

}  // namespace
}  // namespace printersim
