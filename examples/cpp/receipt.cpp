// A receipt from C++: prints on a network receipt printer through vtldllxt.hpp and waits until
// the printer has it.
//
//   ./receipt 192.168.1.50            a printer on TCP port 9100
//   ./receipt 127.0.0.1:9100          the virtual printer: printer-sim --port 9100
//
// Exit status: 0 printed, 1 the printer reported an error or did not finish in 30 seconds.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <vtldllxt.hpp>

int main(int argc, char** argv) {
  std::string host = argc > 1 ? argv[1] : "127.0.0.1";
  std::int32_t tcpPort = 9100;
  if (const auto colon = host.rfind(':'); colon != std::string::npos) {
    tcpPort = std::stoi(host.substr(colon + 1));
    host.erase(colon);
  }
  try {
    vtl::PrnPort port;
    std::int32_t printed = 0;
    bool error = false;
    port.OnNuevoEstado([&](bool inError, bool paperOut) {
      error = inError;
      std::cout << "printer " << (inError ? "in error" : "ready") << (paperOut ? ", paper out" : "")
                << "\n";
    });
    port.OnDatosImpresos([&](std::int32_t job) { printed = job; });
    port.InicializarRed(host, tcpPort);

    // ESC @ resets the printer; ESC t 16 selects its Windows-1252 table, the code page the
    // library sends text in.
    port.Imprimir(vtl::Bytes("\x1b@\x1bt\x10", 5), true);
    port.Imprimir(vtl::Bytes("\x1b"
                             "a\x01",
                             3),
                  true);
    port.Imprimir("CAFÉ LA ESQUINA\nvtldllxt " + vtl::Version() + " from C++\n");
    port.Imprimir(vtl::Bytes("\x1b"
                             "a\x00",
                             3),
                  true);
    port.Imprimir("2 x Café con leche        3,20 €\n");
    const std::int32_t job = port.Imprimir(vtl::Bytes("\x1dV\x42\x00", 4), true);  // feed, cut

    if (!vtl::RunUntil([&] { return printed >= job; }, std::chrono::seconds(30))) {
      std::cerr << "receipt: the printer did not finish" << (error ? " (it is in error)" : "")
                << "\n";
      return 1;
    }
    std::cout << "printed job " << printed << "\n";
    return 0;
  } catch (const vtl::Error& e) {
    std::cerr << "receipt: " << e.what() << " (error " << e.Number() << ")\n";
    return 1;
  }
}
