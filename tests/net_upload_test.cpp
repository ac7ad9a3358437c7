#include "logo_fixture.h"
#include "net_lan_peer.h"

namespace vtl::testing {
namespace {

class LanUpload : public LoopbackPortTest {};

TEST_F(LanUpload, TheUploadFinishesOnANetworkPrinterWithItsTestPrintBeforeHeldText) {
  Files files;
  Open();
  const Pixel ring = [](int x, int y) { return (x * y) % 5 == 0 ? 0 : 1; };
  port->UploadLogo({files.Write(Bitmap(24, 16, 0, ring))}, {"CASA"});
  ASSERT_TRUE(port->Uploading());
  EXPECT_EQ(port->Imprimir("after\n"), 0) << "held back during the upload";
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos") > 0; }, 300'000))
      << ::testing::PrintToString(events.log);
  const std::string stream =
      Stream({Columns(24, 16, [&](int x, int y) { return ring(x, y) == 0; })});
  const std::string test("IMG CASA\r\nID 1\r\n\x1c\x70\x01\x00\x1d\x56\x42\x00\r\n", 26);
  EXPECT_EQ(printer->Text(), stream + test + "after\r\n");
  EXPECT_EQ(events.Count("LogoGrabado"), 1);
  EXPECT_EQ(events.Count("Uploading(0," + std::to_string(stream.size()) + ")"), 1);
  EXPECT_FALSE(port->Uploading());
  EXPECT_FALSE(port->AlwaysOnLine());
  EXPECT_FALSE(port->Rafaga());
}

}  // namespace
}  // namespace vtl::testing
