// vtlprint: prints a receipt through the library on a serial, parallel, network or spooler
// printer.
//
// The text (a file, standard input, or a sample receipt) is UTF-8 and goes to the printer in
// Windows-1252; --raw passes the bytes untouched. The program shows the printer's events as they
// come, waits until the job is printed and exits non-zero when the printer reports an error or
// never finishes. Run `vtlprint --help` for the options.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "objects/prnport.h"
#include "interface/text.h"
#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/portio.h"
#include "platform/sim.h"
#include "platform/spooler.h"

namespace {

using namespace vtl;

const char kEsc = '\x1b', kGs = '\x1d';

std::string SampleReceipt() {
  std::string r;
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
  return r;
}

// The printer's character table for Windows-1252, the encoding text reaches the port in.
const std::string kTablaWindows1252{kEsc, 't', 16};

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
    } else if (c >= 0xA0 ||
               (c >= 0x80 && AnsiToUtf8(std::string(1, static_cast<char>(c))).size() > 2)) {
      out += AnsiToUtf8(std::string(1, static_cast<char>(c)));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    }
  }
  return out;
}

std::string ErrorText(platform::DWORD code) {
  switch (code) {
    case platform::ERROR_FILE_NOT_FOUND:
      return "no such device";
    case platform::ERROR_ACCESS_DENIED:
      return "access denied (another program holds the port, or no permission)";
    default:
      return "error " + std::to_string(code);
  }
}

struct Watcher : __clsPrnPort {
  std::int32_t job = 0;
  bool printed = false;
  bool ready = false;  // the printer has reported no error since the port was opened
  bool everReady = false;
  bool error = false;
  bool paperOut = false;
  std::int64_t errorSince = 0;

  static void Say(const std::string& text) { std::cout << text << std::endl; }

  // Logo upload progress, drawn as a bar.
  bool uploaded = false;
  void Uploading(std::int32_t& quedan, std::int32_t& total) override {
    if (total <= 0) return;
    const int done = static_cast<int>(40LL * (total - quedan) / total);
    std::cout << "upload [" << std::string(static_cast<std::size_t>(done), '#')
              << std::string(static_cast<std::size_t>(40 - done), '.') << "] " << (total - quedan)
              << "/" << total << " bytes" << std::endl;
  }
  void LogoGrabado(std::int32_t& id) override {
    Say("event LogoGrabado(" + std::to_string(id) + "): the logos are stored; test print follows");
    uploaded = true;
  }
  void DatosImpresos(std::int32_t& id) override {
    Say("event DatosImpresos(" + std::to_string(id) + ")" +
        (job && id >= job ? ": job printed" : ""));
    if (job && id >= job) printed = true;
  }
  void NuevoEstado(bool& tmpError, bool& tmpSinPapel) override {
    std::string words;
    if (!tmpError) {
      words = "printer ready";
    } else if (tmpSinPapel) {
      words = "paper out";
    } else {
      words = everReady ? "printer not ready (off line, error, or unplugged)"
                        : "waiting for the printer (no status line up yet)";
    }
    Say(std::string("event NuevoEstado(tmpError=") + (tmpError ? "True" : "False") +
        ", tmpSinPapel=" + (tmpSinPapel ? "True" : "False") + "): " + words);
    if (tmpError && !error) errorSince = platform::Loop::Current().Now();
    error = tmpError;
    paperOut = tmpSinPapel;
    if (!tmpError) everReady = ready = true;
  }
  void EstadoCajon(bool& abierto) override {
    Say(std::string("event EstadoCajon(") + (abierto ? "True" : "False") + "): drawer " +
        (abierto ? "open" : "closed"));
  }
  void EstadoOnLlineOffLine(bool& online) override {
    Say(std::string("event EstadoOnLlineOffLine(") + (online ? "True" : "False") + "): printer " +
        (online ? "on line" : "off line"));
  }
};

// --detect-speed and --speed-test. PORT is a number, COMn, \\.\COMn, or a device path, which
// is reached as COM1.
int VelocidadDeLinea(bool detectar, std::string puerto) {
  const bool ruta = (puerto.find('/') != std::string::npos && puerto.rfind("//./", 0) != 0) ||
                    puerto.rfind("sim:", 0) == 0;
  if (ruta) {
    setenv("VTL_COM1", puerto.c_str(), 1);
    puerto = "COM1";
  }
  auto port = clsPrnPort::Create();
  if (!detectar) {
    port->EnviarPruebasDeVelocidad(puerto);
    std::cout << "test prints sent to " << puerto
              << " at 9600, 19200 and 38400 baud; the legible one shows the printer's speed\n";
    return 0;
  }
  std::cout << "looking for the speed and handshake of the printer on " << puerto
            << " (this takes a few seconds)" << std::endl;
  std::int32_t velocidad = 0, handshake = -1;
  port->CheckAutospeedAndHandshake(puerto, velocidad, handshake);
  if (velocidad == 0) {
    // No flow-control mode brought answers; the speed alone, without flow control.
    velocidad = port->CheckAutoSpeed(puerto, 4);
    handshake = velocidad ? eHSKNone : -1;
  }
  if (velocidad == 0) {
    std::cerr << "vtlprint: no printer answered on " << puerto << " at any speed\n";
    return 1;
  }
  static const char* const kNombres[] = {"none", "xonxoff", "rtscts", "both"};
  std::cout << "speed " << velocidad << " baud, handshake "
            << (handshake >= 0 && handshake <= 3 ? kNombres[handshake] : "unknown") << "\n";
  return 0;
}

int Usage(int code) {
  (code ? std::cerr : std::cout)
      << "usage: vtlprint [OPTIONS] [FILE|-]\n"
         "\n"
         "Prints FILE (UTF-8 text; '-' reads standard input; without FILE a sample receipt) on a\n"
         "serial or parallel receipt printer through the vtldllxt library, shows the printer's\n"
         "events, and waits until the job is printed.\n"
         "\n"
         "Port (one of):\n"
         "  --serial N        serial port COMN: the device in $VTL_COMN, else /dev/ttyS(N-1)\n"
         "  --device PATH     the serial device at PATH (a tty, a pseudo-terminal, a symlink)\n"
         "  --parallel N      parallel port LPTN (1 to 4): the device in $VTL_LPTN, else\n"
         "                    /dev/lp(N-1) or /dev/usb/lp(N-1); the printer's status comes from\n"
         "                    the port's registers where they can be reached, otherwise the\n"
         "                    printer counts as always on line\n"
         "  --lan HOST[:PORT] a network printer (TCP, port 9100 unless given)\n"
         "  --spooler QUEUE   a queue of the system's spooler (CUPS): one raw job per burst\n"
         "  --sim             a simulated printer in this process; shows every write\n"
         "                    (the default when no port is given)\n"
         "Line:\n"
         "  --baud B          line speed (default 9600)\n"
         "  --handshake H     flow control: none, xonxoff, rtscts or both (default: the\n"
         "                    library's, hardware and software together)\n"
         "  --no-callback     the printer sends no status: treat it as always on line\n"
         "Serial speed (instead of printing):\n"
         "  --detect-speed PORT  find the speed and handshake of the printer on PORT (a number,\n"
         "                    COMn or a device path)\n"
         "  --speed-test PORT print a short text at 9600, 19200 and 38400 baud on PORT\n"
         "Job:\n"
         "  --raw             send the bytes untouched (no UTF-8 conversion, no line-end\n"
         "                    normalisation)\n"
         "  --cut             cut the paper after the text\n"
         "  --logo BMP[,NAME] store a 1-bit bitmap in the printer's memory as the next logo\n"
         "                    (repeatable; logos are numbered from 1 in the order given); each\n"
         "                    named logo is test-printed afterwards. Without FILE only the\n"
         "                    logos are stored.\n"
         "  --timeout SEC     give up after SEC seconds without the job printed (default 60)\n"
         "  --list-ports      list the COM and LPT ports that can be opened now, one a line,\n"
         "                    with the device each maps to, and exit\n"
         "  --list-queues     list the spooler's queues, one a line, and exit\n"
         "  -h, --help        this text\n"
         "\n"
         "Exit status: 0 printed; 1 the port cannot be opened or the file read; 2 bad usage;\n"
         "3 the printer reported an error (paper out, off line, unplugged) that did not clear;\n"
         "4 the job did not finish in time.\n";
  return code;
}

// The device a port name opens, as the library maps it.
std::string DeviceOf(const std::string& nombre) {
  char target[4096];
  if (platform::QueryDosDeviceA(nombre.c_str(), target, sizeof target) == 0) return "no device";
  return target;
}

std::string Hex(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value) & 0xFFFFu);
  return text;
}

// One port a line: its name and the device it maps to.
int ListPorts() {
  auto port = clsPrnPort::Create();
  std::vector<std::int32_t> serie, paralelo;
  port->ListaDePuertosExistentes(serie, paralelo);
  for (const auto& [tipo, numeros] : {std::pair{"COM", &serie}, std::pair{"LPT", &paralelo}}) {
    for (std::int32_t n : *numeros) {
      const std::string nombre = tipo + std::to_string(n);
      std::cout << nombre << " " << DeviceOf(nombre) << "\n";
    }
  }
  if (serie.empty() && paralelo.empty())
    std::cerr << "vtlprint: no COM or LPT port can be opened\n";
  // Which way parallel-port registers would be read (and written, when a port is probed).
  std::cerr << "vtlprint: parallel-port registers through " << platform::portio::BackendName()
            << "\n";
  return 0;
}

bool ParseInt(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno || !end || *end || end == s || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, input, lan, queue;
  std::vector<std::string> logos, logoNames;
  bool listQueues = false;
  long serial = 0, parallel = 0, baud = 9600, timeout = 60, handshake = -1;
  bool sim = false, raw = false, cut = false, noCallback = false, listPorts = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--help" || a == "-h") return Usage(0);
    if (a == "--detect-speed" || a == "--speed-test") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: " << a << " takes a port: a number, COMn or a device path\n";
        return 2;
      }
      return VelocidadDeLinea(a == "--detect-speed", v);
    }
    if (a == "--sim") {
      sim = true;
    } else if (a == "--list-ports") {
      listPorts = true;
    } else if (a == "--list-queues") {
      listQueues = true;
    } else if (a == "--lan" || a == "--spooler") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: " << a << " takes " << (a == "--lan" ? "HOST[:PORT]" : "a queue")
                  << "\n";
        return 2;
      }
      (a == "--lan" ? lan : queue) = v;
    } else if (a == "--logo") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: --logo takes FILE.bmp[,NAME]\n";
        return 2;
      }
      const std::string logo = v;
      const auto coma = logo.find(',');
      logos.push_back(logo.substr(0, coma));
      logoNames.push_back(coma == std::string::npos ? "" : Utf8ToAnsi(logo.substr(coma + 1)));
    } else if (a == "--parallel") {
      const char* v = next();
      if (!v || !ParseInt(v, 1, 4, &parallel)) {
        std::cerr << "vtlprint: --parallel takes a port number from 1 to 4\n";
        return 2;
      }
    } else if (a == "--serial") {
      const char* v = next();
      if (!v || !ParseInt(v, 1, 255, &serial)) {
        std::cerr << "vtlprint: --serial takes a port number from 1 to 255\n";
        return 2;
      }
    } else if (a == "--device") {
      const char* v = next();
      if (!v || !*v) return Usage(2);
      device = v;
    } else if (a == "--baud") {
      const char* v = next();
      if (!v || !ParseInt(v, 1, 4000000, &baud)) {
        std::cerr << "vtlprint: --baud takes a speed such as 9600\n";
        return 2;
      }
    } else if (a == "--handshake") {
      const char* v = next();
      const std::string h = v ? v : "";
      if (h == "none")
        handshake = eHSKNone;
      else if (h == "xonxoff")
        handshake = eHSKSoftware;
      else if (h == "rtscts")
        handshake = eHSKHardware;
      else if (h == "both")
        handshake = eHSKSoftwareHardware;
      else {
        std::cerr << "vtlprint: --handshake takes none, xonxoff, rtscts or both\n";
        return 2;
      }
    } else if (a == "--timeout") {
      const char* v = next();
      if (!v || !ParseInt(v, 1, 86400, &timeout)) {
        std::cerr << "vtlprint: --timeout takes seconds (1 to 86400)\n";
        return 2;
      }
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--cut") {
      cut = true;
    } else if (a == "--no-callback") {
      noCallback = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::cerr << "vtlprint: unknown option " << a << "\n";
      return Usage(2);
    } else if (input.empty()) {
      input = a;
    } else {
      std::cerr << "vtlprint: one input file at a time\n";
      return 2;
    }
  }
  if (listPorts) return ListPorts();
  if (listQueues) {
    for (const auto& q : platform::ListPrinterQueues()) std::cout << AnsiToUtf8(q) << "\n";
    return 0;
  }
  if ((serial != 0) + (parallel != 0) + !device.empty() + sim + !lan.empty() + !queue.empty() > 1) {
    std::cerr << "vtlprint: choose one of --serial, --parallel, --device, --lan, --spooler and "
                 "--sim\n";
    return 2;
  }
  if (!serial && !parallel && device.empty() && lan.empty() && queue.empty()) sim = true;

  std::string text;
  const bool onlyLogos = !logos.empty() && input.empty();
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
    text = raw ? ss.str() : Utf8ToAnsi(ss.str());
  }
  if (!raw) text = kTablaWindows1252 + text;

  // A device path or the simulated printer is reached as a COM port of its own.
  std::shared_ptr<platform::sim::Device> simulated;
  if (!device.empty() || sim) {
    serial = 1;
    if (sim) {
      simulated = platform::sim::Register("vtlprint");
      simulated->SetModemStatus(platform::MS_CTS_ON | platform::MS_DSR_ON);
      device = "sim:vtlprint";
    }
    setenv("VTL_COM1", device.c_str(), 1);
  }
  const std::string nombre = !lan.empty()     ? lan
                             : !queue.empty() ? "queue " + queue
                             : parallel       ? "LPT" + std::to_string(parallel)
                                              : "COM" + std::to_string(serial);

  // The library reports an unusable port only as "not ready"; say why before starting.
  if (!queue.empty()) {
    platform::HANDLE h = 0;
    if (!platform::OpenPrinterA(Utf8ToAnsi(queue).c_str(), &h, nullptr)) {
      std::cerr << "vtlprint: the spooler has no queue " << queue
                << " (see vtlprint --list-queues)\n";
      return 1;
    }
    platform::ClosePrinter(h);
  } else if (lan.empty()) {
    platform::HANDLE h = platform::CreateFileA(("\\\\.\\" + nombre).c_str(),
                                               platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                                               nullptr, platform::OPEN_EXISTING, 0, 0);
    if (h == platform::INVALID_HANDLE_VALUE) {
      const platform::DWORD error = platform::GetLastError();
      std::cerr << "vtlprint: cannot open " << nombre << " (" << DeviceOf(nombre)
                << "): " << ErrorText(error) << "\n";
      return 1;
    }
    platform::CloseHandle(h);
  }

  auto port = clsPrnPort::Create();
  Watcher events;
  port->Advise(&events);
  if (handshake >= 0) port->ControlDeFlujo(static_cast<std::int32_t>(handshake));
  if (!lan.empty()) {
    std::cout << "connecting to " << lan << (lan.find(':') == std::string::npos ? ":9100" : "")
              << std::endl;
    port->InicializarRed(lan);
  } else if (!queue.empty()) {
    std::cout << "printing through the spooler queue " << queue << std::endl;
    port->InicializarWindows(Utf8ToAnsi(queue));
  } else if (parallel) {
    std::cout << "opening " << nombre << " (" << DeviceOf(nombre) << ")" << std::endl;
    port->InicializarParalelo(static_cast<std::int32_t>(parallel));
    const auto record = port->PortData(static_cast<std::int32_t>(parallel - 1));
    std::cout << "port registers (" << platform::portio::BackendName() << "): "
              << (record->Enabled == -1 ? record->PortType + " port at 0x" + Hex(record->Address)
                                        : std::string("not reachable; the printer's state comes "
                                                      "from its driver where it has one"))
              << std::endl;
  } else {
    std::cout << "opening " << nombre << (device.empty() ? "" : " (" + device + ")") << " at "
              << baud << " baud" << std::endl;
    port->InicializarSerie(static_cast<std::int32_t>(serial), static_cast<std::int32_t>(baud),
                           noCallback);
  }
  if (!logos.empty()) {
    port->UploadLogo(logos, logoNames);
    if (!port->Uploading()) {
      std::cerr << "vtlprint: the bitmaps could not be converted (1-bit, uncompressed BMP files "
                   "only)\n";
      return 1;
    }
    std::cout << "uploading " << logos.size() << " logo" << (logos.size() == 1 ? "" : "s")
              << std::endl;
    // Text given during an upload is held back until it ends; the upload ends with a job of its
    // own (the test print), which the text then follows.
    platform::Loop::Current().RunUntil([&] { return !port->Uploading(); }, timeout * 1000);
    events.job = port->OutputID();
  }
  if (!onlyLogos) {
    events.job = port->Imprimir(text, raw);
    std::cout << "queued job " << events.job << ": " << text.size() << " bytes" << std::endl;
    if (cut) {
      std::int32_t porcentaje = 100;
      port->CutPaper(porcentaje);
      events.job = port->OutputID();
    }
  }

  platform::Loop& loop = platform::Loop::Current();
  const std::int64_t start = loop.Now();
  std::int64_t lastProgress = start;
  const std::int64_t total = onlyLogos ? 0 : static_cast<std::int64_t>(text.size());
  int result = 0;
  for (;;) {
    loop.RunUntil([&] { return events.printed; }, 250);
    if (events.printed) break;
    const std::int64_t now = loop.Now();
    if (total > 2048 && now - lastProgress >= 1000) {
      lastProgress = now;
      const std::int64_t left = port->OutBufferCount();
      std::cout << "progress: " << (left <= total ? total - left : 0) << " of " << total
                << " bytes handed to the port" << std::endl;
    }
    // An error that begins after the printer was ready gets a few seconds to clear.
    if (events.error && events.everReady && now - events.errorSince > 5000) {
      std::cerr << "vtlprint: the printer reports "
                << (events.paperOut ? "paper out" : "an error (off line or unplugged)")
                << "; the job is not finished\n";
      result = 3;
      break;
    }
    if (now - start > timeout * 1000) {
      if (!events.everReady) {
        std::cerr << "vtlprint: the printer never reported ready on " << nombre
                  << " (no status line came up in " << timeout << " s)\n";
        result = 3;
      } else {
        std::cerr << "vtlprint: the job did not finish in " << timeout << " s\n";
        result = 4;
      }
      break;
    }
  }

  if (simulated) {
    int n = 0;
    for (const auto& block : simulated->Requests()) {
      std::printf("write #%d: %zu bytes\n            %s\n", ++n, block.size(), Show(block).c_str());
    }
    std::cout << "device received " << simulated->Written().size() << " bytes in " << n << " write"
              << (n == 1 ? "" : "s") << "\n";
  }
  port.reset();
  return result;
}
