#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>

#include "commands/comandos.h"
#include "logo_fixture.h"
#include "port_fixture.h"

namespace vtl::testing {
namespace {

using Access = PrnPortTestAccess;

const Pixel kChecker = [](int x, int y) { return (x + y) % 3 == 0 ? 1 : 0; };

TEST(LogoConversion, PaletteEntryZeroDecidesWhichPixelsPrint) {
  Files files;
  std::vector<std::string> rutas{files.Write(Bitmap(16, 8, 0x00, kChecker))};
  std::string flujo;
  ASSERT_TRUE(ConstruirFlujoLogos(rutas, flujo));
  // Entry 0 black: the pixels of colour 0 print.
  EXPECT_EQ(flujo, Stream({Columns(16, 8, [](int x, int y) { return kChecker(x, y) == 0; })}));
  EXPECT_EQ(flujo.size(), 5u + 4 + 16 + 3);

  rutas = {files.Write(Bitmap(16, 8, 0xFF, kChecker))};
  ASSERT_TRUE(ConstruirFlujoLogos(rutas, flujo));
  EXPECT_EQ(flujo, Stream({Columns(16, 8, [](int x, int y) { return kChecker(x, y) == 1; })}));
}

TEST(LogoConversion, OddSizesArePaddedWithBlankDots) {
  Files files;
  const Pixel all = [](int, int) { return 0; };
  std::vector<std::string> rutas{files.Write(Bitmap(13, 9, 0x00, all))};
  std::string flujo;
  ASSERT_TRUE(ConstruirFlujoLogos(rutas, flujo));
  // x = 2, y = 2: columns 13-15 and the lower 7 rows of the second band stay blank.
  EXPECT_EQ(flujo, Stream({Columns(13, 9, [](int, int) { return true; })}));
  EXPECT_EQ(flujo.substr(5, 4), std::string("\x02\x00\x02\x00", 4));
}

TEST(LogoConversion, AMissingFileKeepsItsNumberAsAOneDotPlaceholder) {
  Files files;
  std::vector<std::string> rutas{"/nonexistent/logo.bmp", files.Write(Bitmap(8, 8, 0x00, kChecker)),
                                 "/tmp/", ""};
  std::string flujo;
  ASSERT_TRUE(ConstruirFlujoLogos(rutas, flujo));
  const std::string placeholder = Columns(1, 1, [](int, int) { return true; });
  // After a real logo with entry 0 black the polarity in force is still "colour 0 prints".
  EXPECT_EQ(flujo,
            Stream({placeholder, Columns(8, 8, [](int x, int y) { return kChecker(x, y) == 0; }),
                    placeholder, placeholder}));
  EXPECT_EQ(rutas[0], "");
  EXPECT_EQ(rutas[2], "");
}

TEST(LogoConversion, HeadersTheFormatCannotHoldFailTheWholeConversion) {
  Files files;
  std::string good = Bitmap(16, 8, 0, kChecker);
  auto with = [&](int at, std::uint32_t v) {
    std::string b = good;
    for (int i = 0; i < 4; ++i)
      b[static_cast<std::size_t>(at + i)] = static_cast<char>(v >> (8 * i));
    return b;
  };
  for (const std::string& bad :
       {with(22, 0), with(22, static_cast<std::uint32_t>(-8)), with(10, 0x8000),
        with(18, 0x80000000u), std::string(500001, '\0')}) {
    std::vector<std::string> rutas{files.Write(bad)};
    std::string flujo = "untouched";
    EXPECT_FALSE(ConstruirFlujoLogos(rutas, flujo));
    EXPECT_EQ(flujo, "");
  }
  std::vector<std::string> many(256, "");
  std::string flujo;
  EXPECT_FALSE(ConstruirFlujoLogos(many, flujo)) << "the count is one byte";
  many.resize(255);
  EXPECT_TRUE(ConstruirFlujoLogos(many, flujo));
}

TEST(LogoConversion, DamagedFilesNeverCrashOrHang) {
  Files files;
  const std::string good = Bitmap(40, 24, 0, kChecker);
  std::mt19937 rng(1234);
  std::vector<std::string> cases = {
      "", "B", "BM", good.substr(0, 20), good.substr(0, 60), Bitmap(2100, 2, 0, kChecker)};
  for (int i = 0; i < 200; ++i) {
    std::string b = good;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) b[rng() % 62] = static_cast<char>(rng());
    if (rng() % 5 == 0) b.resize(rng() % b.size());
    cases.push_back(b);
  }
  for (const auto& c : cases) {
    std::vector<std::string> rutas{files.Write(c)};
    std::string flujo;
    if (ConstruirFlujoLogos(rutas, flujo)) {
      EXPECT_LE(flujo.size(), 500001u + 8);
    }
  }
}

TEST_F(PortTest, AnUploadStoresTheLogosThenPrintsEachAndReleasesHeldText) {
  Files files;
  Attach();
  const std::string logo = Bitmap(16, 8, 0, kChecker);
  const std::string stream =
      Stream({Columns(16, 8, [](int x, int y) { return kChecker(x, y) == 0; }),
              Columns(1, 1, [](int, int) { return true; })});
  port->UploadLogo({files.Write(logo), "/nonexistent.bmp"}, {"CASA", ""}, false);
  EXPECT_TRUE(port->Uploading());
  EXPECT_TRUE(port->AlwaysOnLine());
  EXPECT_EQ(events.log.front(), "Uploading(0,0)");
  EXPECT_EQ(port->Imprimir("after the logos\n"), 0) << "held back";
  ASSERT_TRUE(PumpUntil([&] { return events.Count("DatosImpresos") > 0; }))
      << ::testing::PrintToString(events.log) << device->Written().size() << " estado "
      << Access::Estado(*port) << " buffer " << port->OutBufferCount();
  const std::string test =
      std::string("IMG CASA\r\nID 1\r\n\x1c\x70\x01\x00\x1d\x56\x42\x00\r\n", 26);
  EXPECT_EQ(device->Written(), stream + test + "after the logos\r\n");
  EXPECT_FALSE(port->Uploading());
  EXPECT_FALSE(port->AlwaysOnLine()) << "the host's settings come back";
  EXPECT_FALSE(port->Rafaga());
  EXPECT_EQ(port->PortPropiedadesAdicionales(), 0);
  EXPECT_EQ(events.log.back(), "DatosImpresos(2)");
  EXPECT_EQ(events.Count("Uploading(0," + std::to_string(stream.size()) + ")"), 1);
}

TEST_F(PortTest, AFailedConversionSendsNothingAndRestoresTheSettings) {
  Files files;
  Attach();
  port->Rafaga(false);
  std::string bad = Bitmap(16, 8, 0, kChecker);
  bad[22] = bad[23] = bad[24] = bad[25] = 0;  // zero height
  port->UploadLogo({files.Write(bad)}, {"X"});
  EXPECT_FALSE(port->Uploading());
  EXPECT_FALSE(port->AlwaysOnLine());
  EXPECT_FALSE(port->Rafaga());
  PumpUntil([] { return false; }, 2000);
  EXPECT_EQ(device->Written(), "");
  EXPECT_EQ(events.Count("Uploading"), 0);
  // An empty list does nothing at all.
  port->UploadLogo({}, {});
  EXPECT_FALSE(port->Uploading());
}

TEST_F(PortTest, CutPaperQueuesTheCutBehindEarlierText) {
  Attach();
  std::int32_t porcentaje = 50, negativo = -3;
  port->Imprimir("line\n");
  EXPECT_EQ(port->CutPaper(porcentaje), 0);
  port->Imprimir("next\n");
  EXPECT_EQ(port->CutPaper(negativo), 0);
  ASSERT_TRUE(PrintedJob(4));
  EXPECT_EQ(device->Written(), "line\r\n\x1binext\r\n\x1bi");
  std::int32_t n = 1, s = 2, w = 3, a = 4;
  std::string missing = "/nonexistent.bmp";
  port->SetBitmap(n, s, missing, w, a);
  EXPECT_EQ(port->BeginInsertion(n), 0);
  port->EndRemoval();
  EXPECT_EQ(device->Written(), "line\r\n\x1binext\r\n\x1bi") << "nothing more goes out";
}

}  // namespace
}  // namespace vtl::testing
