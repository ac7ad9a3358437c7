#include <algorithm>

#include "cups_fixture.h"
#include "platform/spooler.h"

namespace vtl::testing {
namespace {

using namespace platform;

class Spooler : public ::testing::Test {
 protected:
  Collector printer;
  PrivateCups cups{"vtl_spooler", printer.Port()};
};

TEST_F(Spooler, ADocumentIsOneRawJobWithItsTitleAndExactBytes) {
  ASSERT_TRUE(cups.Ready());
  HANDLE h = 0;
  ASSERT_EQ(OpenPrinterA("vtl_spooler", &h, nullptr), TRUE) << GetLastError();
  EXPECT_TRUE(IsPrinterHandle(h));
  std::string data("\x1b@Caf\xe9 \x80\r\n", 10);
  data += std::string(200000, 'x') + std::string("\0", 1);
  DOC_INFO_1A info{"VTL:Ticket \xf1", nullptr, nullptr};
  EXPECT_GT(StartDocPrinterA(h, 1, &info), 0u);
  EXPECT_EQ(StartPagePrinter(h), TRUE);
  DWORD written = 0;
  EXPECT_EQ(WritePrinter(h, data.data(), static_cast<DWORD>(data.size()), &written), TRUE);
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(EndPagePrinter(h), TRUE);
  EXPECT_EQ(EndDocPrinter(h), TRUE);
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_TRUE(printer.Jobs()[0] == data) << "bytes changed on the way";
  EXPECT_EQ(cups.JobTitles("vtl_spooler"), std::vector<std::string>{"VTL:Ticket \xc3\xb1"});
  EXPECT_EQ(ClosePrinter(h), TRUE);
  EXPECT_FALSE(IsPrinterHandle(h));
  const auto queues = ListPrinterQueues();
  EXPECT_NE(std::find(queues.begin(), queues.end(), "vtl_spooler"), queues.end());
}

TEST_F(Spooler, UnknownQueuesAndOddTitlesFailOrPassCleanly) {
  ASSERT_TRUE(cups.Ready());
  HANDLE h = 0;
  EXPECT_EQ(OpenPrinterA("no_such_queue", &h, nullptr), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(WritePrinter(h, "x", 1, nullptr), FALSE);

  ASSERT_EQ(OpenPrinterA("vtl_spooler", &h, nullptr), TRUE);
  EXPECT_EQ(WritePrinter(h, "x", 1, nullptr), FALSE) << "no document started";
  const std::string longName = "VTL:" + std::string(10000, 'n') + "\x01\x1b";
  DOC_INFO_1A info{longName.c_str(), nullptr, nullptr};
  ASSERT_GT(StartDocPrinterA(h, 1, &info), 0u);
  WritePrinter(h, "ok", 2, nullptr);
  EXPECT_EQ(EndDocPrinter(h), TRUE);
  ASSERT_TRUE(printer.WaitFor(1));
  const auto titles = cups.JobTitles("vtl_spooler");
  ASSERT_EQ(titles.size(), 1u);
  EXPECT_LE(titles[0].size(), 255u);
  ClosePrinter(h);
}

TEST(SpoolerGone, CallsFailInsteadOfWaiting) {
  setenv("CUPS_SERVER", "/tmp/vtl-no-such-cups.sock", 1);
  cupsSetServer(nullptr);
  HANDLE h = 0;
  EXPECT_EQ(OpenPrinterA("anything", &h, nullptr), FALSE);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(ListPrinterQueues().empty());
}

}  // namespace
}  // namespace vtl::testing
