// Port texts to numbers.
#include <gtest/gtest.h>

#include "channels/port_text.h"

namespace vtl::testing {
namespace {

TEST(ValorNumerico, ReadsPortTexts) {
  const struct {
    const char* texto;
    std::int64_t unidades;  // value × 10000
  } casos[] = {
      {"12", 120000}, {"", 0},           {"abc", 0},
      {"0", 0},       {" 3 ", 30000},    {"-5", -50000},
      {"2.5", 25000}, {"2,5", 25000},    {".5", 5000},
      {",25", 2500},  {"1E3", 10000000}, {"1.23456", 12346},
      {"0.00005", 0}, {"0.00015", 2},    {"1,2,3", 0},
      {"12abc", 0},   {"+7", 70000},     {"1e999999", 0},
      {"--1", 0},     {"COM3", 0},       {"12345678901234567890", 123456789012340000},
  };
  for (const auto& c : casos) EXPECT_EQ(ValorNumerico(c.texto), c.unidades) << c.texto;
}

TEST(NumeroDePuerto, RoundsHalfToEven) {
  auto n = [](const char* t) { return NumeroDePuerto(t); };
  EXPECT_EQ(n("3"), 3);
  EXPECT_EQ(n("2.5"), 2);
  EXPECT_EQ(n("3.5"), 4);
  EXPECT_EQ(n("-0.5"), 0);
  EXPECT_EQ(n("-1.5"), -2);
  EXPECT_EQ(n("x"), 0);
  EXPECT_EQ(n("2147483647"), 2147483647);
  EXPECT_EQ(n("-2147483648"), -2147483647 - 1);
  try {
    NumeroDePuerto("99999999999999");
    FAIL() << "no overflow";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 6);
  }
}

TEST(SepararHostPuerto, SplitsAtTheFirstColon) {
  const struct {
    const char* texto;
    const char* host;
    std::int32_t puerto;
  } casos[] = {
      {"10.0.0.5:9100", "10.0.0.5", 9100},
      {"printer:9200:9100", "printer", 9200},
      {"printer", "printer", -1},
      {"printer:", "printer", -1},
      {"printer:abc", "printer", -1},
      {"printer:99999999999", "printer", -1},
      {":9100", "", 9100},
      {"", "", -1},
  };
  for (const auto& c : casos) {
    std::string host = "old";
    std::int32_t puerto = -1;
    SepararHostPuerto(c.texto, host, puerto);
    EXPECT_EQ(host, c.host) << c.texto;
    EXPECT_EQ(puerto, c.puerto) << c.texto;
  }
}

}  // namespace
}  // namespace vtl::testing
