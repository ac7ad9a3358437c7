// A logo stored over a serial line in the virtual printer's memory, then printed from it.
#include "logo_fixture.h"
#include "objects/prnport.h"
#include "port_fixture.h"
#include "serial_pty.h"

#if VTL_HAVE_PRINTERSIM_CORE

namespace vtl::testing {
namespace {

TEST(SerialLogo, TheStoredLogoPrintsExactlyAsTheBitmapShows) {
  PtyPrinter printer;
  ASSERT_TRUE(printer.pty().Ok());
  ComMapping com4{4, printer.pty().Slave()};
  Files files;
  Recorder events;
  auto port = clsPrnPort::Create();
  port->Advise(&events);
  auto pump = [](const std::function<bool()>& cond) { return platform::RunUntil(cond, 30'000); };

  port->InicializarSerie(4, 115200);
  ASSERT_TRUE(pump([&] { return events.Count("NuevoEstado(0,0)") > 0; }));
  const Pixel shape = [](int x, int y) { return (x / 3 + y / 2) % 3 == 0 ? 0 : 1; };
  port->UploadLogo({files.Write(Bitmap(40, 20, 0, shape))}, {"CASA"});
  ASSERT_TRUE(port->Uploading());
  EXPECT_EQ(port->Imprimir("after the logo\n"), 0);
  ASSERT_TRUE(pump([&] { return events.Count("DatosImpresos") > 0; }))
      << ::testing::PrintToString(events.log);
  ASSERT_TRUE(pump([&] { return printer.Printed().find("after the logo") != std::string::npos; }));

  // Stored: 40 x 24 dots (whole bands), colour 0 printing, the padding rows blank.
  ASSERT_EQ(printer.printer().NvImages().count(1), 1u);
  const auto& stored = printer.printer().NvImages().at(1);
  ASSERT_EQ(stored.width, 40);
  ASSERT_EQ(stored.height, 24);
  for (int y = 0; y < 24; ++y) {
    for (int x = 0; x < 40; ++x) {
      EXPECT_EQ(stored.Dot(x, y), y < 20 && shape(x, y) == 0) << x << "," << y;
    }
  }
  // Printed by its number in the test print, before the text held back during the upload.
  const std::string text = printer.Printed();
  EXPECT_NE(text.find("IMG CASA"), std::string::npos);
  EXPECT_LT(text.find("IMG CASA"), text.find("after the logo"));
  bool printedImage = false;
  for (const auto& receipt : printer.printer().Receipts()) {
    for (const auto& block : receipt.blocks) {
      for (const auto& image : block.images) {
        if (image.label == "NV image 1") printedImage = image.bitmap.bits == stored.bits;
      }
    }
  }
  EXPECT_TRUE(printedImage);
  EXPECT_EQ(events.Count("LogoGrabado"), 1);
  port.reset();
  platform::Loop::Current().RunUntil([] { return false; }, 50);
}

}  // namespace
}  // namespace vtl::testing

#endif
