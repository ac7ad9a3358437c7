// vtlprint: prints a receipt through the library's send loop.
//
//   vtlprint [--sim] [FILE|-]         to a simulated device; shows every write and event
//   vtlprint --device PATH [FILE|-]   straight to a device file (a pseudo-terminal, a FIFO)
//
// The text is UTF-8 and goes to the printer in Windows-1252. Without FILE a sample receipt is
// printed. The serial, parallel, network and spooler options come with their port channels.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/prnport.h"
#include "engine/prnport_test_access.h"
#include "interface/text.h"
#include "platform/loop.h"
#include "platform/sim.h"

namespace {

using namespace vtl;

const char kEsc = '\x1b', kGs = '\x1d';

std::string SampleReceipt() {
  std::string r;
  r += std::string{kEsc, '@'};
  r += std::string{kEsc, 'a', 1} + std::string{kEsc, '!', 0x30} + Utf8ToAnsi("CAFÉ LA ESQUINA\n");
  r += std::string{kEsc, '!', 0} + Utf8ToAnsi("Calle Mayor 12, Málaga\n");
  r += std::string{kEsc, 'a', 0} + "--------------------------------\n";
  r += Utf8ToAnsi("2 x Café con leche        3,20 €\n");
  r += Utf8ToAnsi("1 x Tostada con tomate    2,50 €\n");
  r += Utf8ToAnsi("1 x Zumo de naranja       2,80 €\n");
  r += "--------------------------------\n";
  r += std::string{kEsc, 'E', 1} + Utf8ToAnsi("TOTAL                     8,50 €\n") +
       std::string{kEsc, 'E', 0};
  r += std::string{kEsc, 'a', 1} + Utf8ToAnsi("¡Gracias por su visita!\n") +
       std::string{kEsc, 'a', 0};
  r += std::string{kEsc, 'd', 3};
  r += std::string{kGs, 'V', 66, 0};
  return r;
}

// Bytes as a person can read them: printable text as is, everything else as <XX> or a name.
std::string Show(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == 0x1b) {
      out += "<ESC>";
    } else if (c == 0x1d) {
      out += "<GS>";
    } else if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>\n            ";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (c >= 0xA0 || (c >= 0x80 && AnsiToUtf8(std::string(1, static_cast<char>(c))).size() > 2)) {
      out += AnsiToUtf8(std::string(1, static_cast<char>(c)));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    }
  }
  return out;
}

struct Printer : __clsPrnPort {
  std::int32_t done = 0;
  void DatosImpresos(std::int32_t& id) override {
    std::cout << "event DatosImpresos(" << id << ")\n";
    done = id;
  }
  void NuevoEstado(bool& error, bool& sinPapel) override {
    std::cout << "event NuevoEstado(tmpError=" << (error ? "True" : "False")
              << ", tmpSinPapel=" << (sinPapel ? "True" : "False") << ")\n";
  }
};

int Usage(int code) {
  std::cerr << "usage: vtlprint [--sim | --device PATH] [FILE|-]\n"
               "  --sim          print to a simulated device and show every write (default)\n"
               "  --device PATH  print straight to a device file, e.g. a pseudo-terminal\n"
               "  FILE           UTF-8 text to print; '-' reads standard input;\n"
               "                 without FILE a sample receipt is printed\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, input;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sim") {
      device.clear();
    } else if (a == "--device" && i + 1 < argc) {
      device = argv[++i];
    } else if (a == "--help" || a == "-h") {
      return Usage(0);
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage(2);
    } else {
      input = a;
    }
  }

  std::string text;
  if (input.empty()) {
    text = SampleReceipt();
  } else {
    std::stringstream ss;
    if (input == "-") {
      ss << std::cin.rdbuf();
    } else {
      std::ifstream f(input, std::ios::binary);
      if (!f) {
        std::cerr << "vtlprint: cannot read " << input << "\n";
        return 1;
      }
      ss << f.rdbuf();
    }
    text = Utf8ToAnsi(ss.str());
  }

  std::shared_ptr<platform::sim::Device> sim;
  std::string path = device;
  if (device.empty()) {
    sim = platform::sim::Register("vtlprint");
    path = "sim:vtlprint";
  }
  platform::HANDLE h =
      platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                            nullptr, platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED, 0);
  if (h == platform::INVALID_HANDLE_VALUE) {
    std::cerr << "vtlprint: cannot open " << path << " (error " << platform::GetLastError()
              << ")\n";
    return 1;
  }

  auto port = clsPrnPort::Create();
  Printer events;
  port->Advise(&events);
  // Until the port channels open devices by port name, the device file goes straight behind
  // the send loop, as an always-ready printer.
  PrnPortTestAccess::AttachPort(*port, h, eTDPCOM, 0);
  const std::int32_t id = port->Imprimir(text);
  std::cout << "queued job " << id << ": " << text.size() << " bytes\n";
  const bool ok = platform::RunUntil([&] { return events.done >= id; }, 120'000);

  if (sim) {
    int n = 0;
    for (const auto& block : sim->Requests()) {
      std::printf("write #%d: %zu bytes\n            %s\n", ++n, block.size(), Show(block).c_str());
    }
    std::cout << "device received " << sim->Written().size() << " bytes in " << n << " write"
              << (n == 1 ? "" : "s") << "\n";
  }
  port.reset();
  if (!ok) {
    std::cerr << "vtlprint: the job did not finish\n";
    return 1;
  }
  return 0;
}
