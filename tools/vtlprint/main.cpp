// vtlprint: prints a receipt through the library on a serial, parallel, network or spooler
// printer.
//
// The text (a file, standard input, or a sample receipt) is UTF-8 and goes to the printer in
// Windows-1252; --raw passes the bytes untouched. The program shows the printer's events as they
// come, waits until the job is printed and exits non-zero when the printer reports an error or
// never finishes. Run `vtlprint --help` for the options.
//
// It reaches the library only through its public C++ face, vtldllxt.hpp, as any host would.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "vtldllxt.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kEsc = '\x1b';

vtl::Bytes Cmd(std::initializer_list<char> bytes) {
  return vtl::Bytes(std::string(bytes));
}

vtl::Bytes SampleReceipt() {
  const auto t = [](const char* utf8) { return vtl::ToWindows1252(utf8); };
  vtl::Bytes r;
  r += Cmd({kEsc, 'a', 1}) + Cmd({kEsc, '!', 0x30}) + t("CAFÉ LA ESQUINA\n");
  r += Cmd({kEsc, '!', 0}) + t("Calle Mayor 12, Málaga\n");
  r += Cmd({kEsc, 'a', 0}) + t("--------------------------------\n");
  r += t("2 x Café con leche        3,20 €\n");
  r += t("1 x Tostada con tomate    2,50 €\n");
  r += t("1 x Zumo de naranja       2,80 €\n");
  r += t("--------------------------------\n");
  r += Cmd({kEsc, 'E', 1}) + t("TOTAL                     8,50 €\n") + Cmd({kEsc, 'E', 0});
  r += Cmd({kEsc, 'a', 1}) + t("¡Gracias por su visita!\n") + Cmd({kEsc, 'a', 0});
  r += Cmd({kEsc, 'd', 3});
  return r;
}

// The printer's character table for Windows-1252, the encoding text reaches the port in.
const vtl::Bytes kTablaWindows1252 = Cmd({kEsc, 't', 16});

// Bytes as a person can read them: printable text as is, everything else as <XX> or a name.
std::string Show(const vtl::Bytes& bytes) {
  std::string out;
  for (unsigned char c : bytes.str()) {
    const auto utf8 = [c] {
      return vtl::FromWindows1252(vtl::Bytes(std::string(1, static_cast<char>(c))));
    };
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
    } else if (c >= 0xA0 || (c >= 0x80 && utf8().size() > 2)) {
      out += utf8();
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    }
  }
  return out;
}

std::string ErrorText(std::uint32_t code) {
  switch (code) {
    case 2:
      return "no such device";
    case 5:
      return "access denied (another program holds the port, or no permission)";
    default:
      return "error " + std::to_string(code);
  }
}

// The device a port name opens, as the library maps it.
std::string DeviceOf(const std::string& nombre) {
  const std::string device = vtl::PortDevice(nombre);
  return device.empty() ? "no device" : device;
}

std::string Hex(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value) & 0xFFFFu);
  return text;
}

// ---- Options ----

struct Options {
  std::string device, input, lan, queue;
  std::vector<std::string> logos, logoNames;
  long serial = 0, parallel = 0, baud = 9600, timeout = 60, handshake = -1;
  bool sim = false, raw = false, cut = false, noCallback = false;
  bool listPorts = false, listQueues = false;
  // --detect-speed or --speed-test, which end the options.
  std::string speedPort;
  bool detectSpeed = false;
};

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

bool ParseInt(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno || !end || *end || end == s || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::optional<long> HandshakeOf(const std::string& h) {
  if (h == "none") return static_cast<long>(vtl::Handshake::eHSKNone);
  if (h == "xonxoff") return static_cast<long>(vtl::Handshake::eHSKSoftware);
  if (h == "rtscts") return static_cast<long>(vtl::Handshake::eHSKHardware);
  if (h == "both") return static_cast<long>(vtl::Handshake::eHSKSoftwareHardware);
  return std::nullopt;
}

// Reads the command line into `o`. Returns the exit status when the program ends here (help, bad
// usage), nothing when it goes on.
std::optional<int> Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    // An option that takes a number in [lo, hi], or the complaint when it has none.
    auto number = [&](long lo, long hi, long* out, const char* complaint) -> std::optional<int> {
      const char* v = next();
      if (v && ParseInt(v, lo, hi, out)) return std::nullopt;
      std::cerr << "vtlprint: " << complaint << "\n";
      return 2;
    };
    std::optional<int> end;
    if (a == "--help" || a == "-h") return Usage(0);
    if (a == "--detect-speed" || a == "--speed-test") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: " << a << " takes a port: a number, COMn or a device path\n";
        return 2;
      }
      o.detectSpeed = a == "--detect-speed";
      o.speedPort = v;
      return std::nullopt;
    }
    if (a == "--sim") {
      o.sim = true;
    } else if (a == "--list-ports") {
      o.listPorts = true;
    } else if (a == "--list-queues") {
      o.listQueues = true;
    } else if (a == "--lan" || a == "--spooler") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: " << a << " takes " << (a == "--lan" ? "HOST[:PORT]" : "a queue")
                  << "\n";
        return 2;
      }
      (a == "--lan" ? o.lan : o.queue) = v;
    } else if (a == "--logo") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: --logo takes FILE.bmp[,NAME]\n";
        return 2;
      }
      const std::string logo = v;
      const auto coma = logo.find(',');
      o.logos.push_back(logo.substr(0, coma));
      o.logoNames.push_back(coma == std::string::npos ? "" : logo.substr(coma + 1));
    } else if (a == "--parallel") {
      end = number(1, 4, &o.parallel, "--parallel takes a port number from 1 to 4");
    } else if (a == "--serial") {
      end = number(1, 255, &o.serial, "--serial takes a port number from 1 to 255");
    } else if (a == "--device") {
      const char* v = next();
      if (!v || !*v) return Usage(2);
      o.device = v;
    } else if (a == "--baud") {
      end = number(1, 4000000, &o.baud, "--baud takes a speed such as 9600");
    } else if (a == "--handshake") {
      const char* v = next();
      const auto h = HandshakeOf(v ? v : "");
      if (!h) {
        std::cerr << "vtlprint: --handshake takes none, xonxoff, rtscts or both\n";
        return 2;
      }
      o.handshake = *h;
    } else if (a == "--timeout") {
      end = number(1, 86400, &o.timeout, "--timeout takes seconds (1 to 86400)");
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--cut") {
      o.cut = true;
    } else if (a == "--no-callback") {
      o.noCallback = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::cerr << "vtlprint: unknown option " << a << "\n";
      return Usage(2);
    } else if (o.input.empty()) {
      o.input = a;
    } else {
      std::cerr << "vtlprint: one input file at a time\n";
      return 2;
    }
    if (end) return end;
  }
  if (o.listPorts || o.listQueues) return std::nullopt;
  if ((o.serial != 0) + (o.parallel != 0) + !o.device.empty() + o.sim + !o.lan.empty() +
          !o.queue.empty() >
      1) {
    std::cerr << "vtlprint: choose one of --serial, --parallel, --device, --lan, --spooler and "
                 "--sim\n";
    return 2;
  }
  if (!o.serial && !o.parallel && o.device.empty() && o.lan.empty() && o.queue.empty()) {
    o.sim = true;
  }
  return std::nullopt;
}

// ---- What runs instead of printing ----

// --detect-speed and --speed-test. PORT is a number, COMn, \\.\COMn, or a device path, which
// is reached under a COM name of its own.
int VelocidadDeLinea(bool detectar, std::string puerto) {
  const bool ruta = (puerto.find('/') != std::string::npos && puerto.rfind("//./", 0) != 0) ||
                    puerto.rfind("sim:", 0) == 0;
  if (ruta) puerto = vtl::MapFreePort("COM", puerto);
  vtl::PrnPort port;
  if (!detectar) {
    port.EnviarPruebasDeVelocidad(puerto);
    std::cout << "test prints sent to " << puerto
              << " at 9600, 19200 and 38400 baud; the legible one shows the printer's speed\n";
    return 0;
  }
  std::cout << "looking for the speed and handshake of the printer on " << puerto
            << " (this takes a few seconds)" << std::endl;
  std::int32_t velocidad = 0, handshake = -1;
  port.CheckAutospeedAndHandshake(puerto, velocidad, handshake);
  if (velocidad == 0) {
    // No flow-control mode brought answers; the speed alone, without flow control.
    velocidad = port.CheckAutoSpeed(puerto, 4);
    handshake = velocidad ? static_cast<std::int32_t>(vtl::Handshake::eHSKNone) : -1;
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

// One port a line: its name and the device it maps to.
int ListPorts() {
  vtl::PrnPort port;
  std::vector<std::int32_t> serie, paralelo;
  port.ListaDePuertosExistentes(serie, paralelo);
  for (const auto& [tipo, numeros] : {std::pair{"COM", &serie}, std::pair{"LPT", &paralelo}}) {
    for (std::int32_t n : *numeros) {
      const std::string nombre = tipo + std::to_string(n);
      std::cout << nombre << " " << DeviceOf(nombre) << "\n";
    }
  }
  if (serie.empty() && paralelo.empty())
    std::cerr << "vtlprint: no COM or LPT port can be opened\n";
  // Which way parallel-port registers would be read (and written, when a port is probed).
  std::cerr << "vtlprint: parallel-port registers through " << vtl::PortIoBackend() << "\n";
  return 0;
}

int ListQueues() {
  for (const auto& q : vtl::SpoolerQueues()) std::cout << q << "\n";
  return 0;
}

// ---- Printing ----

// What the printer has said so far, shown as it comes.
struct Printer {
  std::int32_t job = 0;
  bool printed = false;
  bool everReady = false;  // the printer has reported no error since the port was opened
  bool error = false;
  bool paperOut = false;
  Clock::time_point errorSince;
  // While the port opens, what the events say waits here: an opening that fails is reported
  // alone.
  bool holding = false;
  std::vector<std::string> held;

  void Say(const std::string& text) {
    if (holding) {
      held.push_back(text);
    } else {
      std::cout << text << std::endl;
    }
  }
  void Release() {
    holding = false;
    for (const std::string& text : held) std::cout << text << std::endl;
    held.clear();
  }

  void Connect(const vtl::PrnPort& port) {
    port.OnUploading([this](std::int32_t quedan, std::int32_t total) {
      if (total <= 0) return;
      const int done = static_cast<int>(40LL * (total - quedan) / total);
      Say("upload [" + std::string(static_cast<std::size_t>(done), '#') +
          std::string(static_cast<std::size_t>(40 - done), '.') + "] " +
          std::to_string(total - quedan) + "/" + std::to_string(total) + " bytes");
    });
    port.OnLogoGrabado([this](std::int32_t id) {
      Say("event LogoGrabado(" + std::to_string(id) +
          "): the logos are stored; test print follows");
    });
    port.OnDatosImpresos([this](std::int32_t id) {
      Say("event DatosImpresos(" + std::to_string(id) + ")" +
          (job && id >= job ? ": job printed" : ""));
      if (job && id >= job) printed = true;
    });
    port.OnNuevoEstado([this](bool tmpError, bool tmpSinPapel) {
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
      if (tmpError && !error) errorSince = Clock::now();
      error = tmpError;
      paperOut = tmpSinPapel;
      if (!tmpError) everReady = true;
    });
    port.OnEstadoCajon([this](bool abierto) {
      Say(std::string("event EstadoCajon(") + (abierto ? "True" : "False") + "): drawer " +
          (abierto ? "open" : "closed"));
    });
    port.OnEstadoOnLlineOffLine([this](bool online) {
      Say(std::string("event EstadoOnLlineOffLine(") + (online ? "True" : "False") + "): printer " +
          (online ? "on line" : "off line"));
    });
  }
};

// The port goes first when a session ends: its handlers, then the simulated printer, after it.
struct Session {
  std::unique_ptr<vtl::SimulatedPrinter> simulated;
  Printer printer;
  vtl::PrnPort port{nullptr};
  std::string nombre;  // the port as the messages name it
};

// The text to print: the file, standard input or the sample receipt, in Windows-1252.
std::optional<vtl::Bytes> ReadJob(const Options& o) {
  vtl::Bytes text;
  if (o.input.empty()) {
    text = SampleReceipt();
  } else {
    std::stringstream ss;
    if (o.input == "-") {
      ss << std::cin.rdbuf();
    } else {
      std::ifstream f(o.input, std::ios::binary);
      if (!f) {
        std::cerr << "vtlprint: cannot read " << o.input << "\n";
        return std::nullopt;
      }
      ss << f.rdbuf();
    }
    text = o.raw ? vtl::Bytes(ss.str()) : vtl::ToWindows1252(ss.str());
  }
  if (!o.raw) text = kTablaWindows1252 + text;
  return text;
}

// A device that would not open: why, from the library.
bool OpenedOrSaid(Session& s, const std::string& device) {
  const vtl::OpeningError why = s.port.UltimoErrorApertura();
  if (why.number == 0) return true;
  std::cerr << "vtlprint: cannot open " << s.nombre << " (" << device
            << "): " << ErrorText(why.number) << "\n";
  return false;
}

// Opens the port the options name; 0, or the exit status when it cannot be opened.
int Open(const Options& o, Session& s) {
  if (!o.queue.empty()) {
    // The library reports a queue it cannot reach only as "not ready"; say why before starting.
    // Queue names are not case-sensitive to the spooler.
    const auto same = [](const std::string& a, const std::string& b) {
      return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
             });
    };
    bool known = false;
    for (const std::string& q : vtl::SpoolerQueues()) known = known || same(q, o.queue);
    if (!known) {
      std::cerr << "vtlprint: the spooler has no queue " << o.queue
                << " (see vtlprint --list-queues)\n";
      return 1;
    }
  }
  s.port = vtl::PrnPort();
  s.printer.Connect(s.port);
  if (o.handshake >= 0) s.port.ControlDeFlujo(static_cast<vtl::Handshake>(o.handshake));
  if (!o.lan.empty()) {
    s.nombre = o.lan;
    std::cout << "connecting to " << o.lan << (o.lan.find(':') == std::string::npos ? ":9100" : "")
              << std::endl;
    s.port.InicializarRed(o.lan);
    return 0;
  }
  if (!o.queue.empty()) {
    s.nombre = "queue " + o.queue;
    std::cout << "printing through the spooler queue " << o.queue << std::endl;
    s.port.InicializarWindows(o.queue);
    return 0;
  }
  s.printer.holding = true;
  if (o.parallel) {
    s.nombre = "LPT" + std::to_string(o.parallel);
    s.port.InicializarParalelo(static_cast<std::int32_t>(o.parallel));
    if (!OpenedOrSaid(s, DeviceOf(s.nombre))) return 1;
    std::cout << "opening " << s.nombre << " (" << DeviceOf(s.nombre) << ")" << std::endl;
    s.printer.Release();
    const vtl::PrnPortData record = s.port.PortData(static_cast<std::int32_t>(o.parallel - 1));
    std::cout << "port registers (" << vtl::PortIoBackend() << "): "
              << (record.Enabled() == -1 ? record.PortType() + " port at 0x" + Hex(record.Address())
                                         : std::string("not reachable; the printer's state comes "
                                                       "from its driver where it has one"))
              << std::endl;
  } else {
    // A device path or the simulated printer is reached under a COM name of its own.
    std::string device = o.device;
    if (o.sim) {
      s.simulated = std::make_unique<vtl::SimulatedPrinter>("vtlprint");
      device = s.simulated->Device();
    }
    const auto baud = static_cast<std::int32_t>(o.baud);
    if (device.empty()) {
      s.nombre = "COM" + std::to_string(o.serial);
      s.port.InicializarSerie(static_cast<std::int32_t>(o.serial), baud, o.noCallback);
    } else {
      s.nombre = s.port.InicializarSerie(device, baud, o.noCallback);
    }
    if (!OpenedOrSaid(s, device.empty() ? DeviceOf(s.nombre) : device)) return 1;
    std::cout << "opening " << s.nombre << (device.empty() ? "" : " (" + device + ")") << " at "
              << o.baud << " baud" << std::endl;
    s.printer.Release();
  }
  return 0;
}

// Stores the logos and queues the text; 0, or the exit status when the logos cannot be used.
int Print(const Options& o, Session& s, const vtl::Bytes& text, bool onlyLogos) {
  if (!o.logos.empty()) {
    s.port.UploadLogo(o.logos, o.logoNames);
    if (!s.port.Uploading()) {
      std::cerr << "vtlprint: the bitmaps could not be converted (1-bit, uncompressed BMP files "
                   "only)\n";
      return 1;
    }
    std::cout << "uploading " << o.logos.size() << " logo" << (o.logos.size() == 1 ? "" : "s")
              << std::endl;
    // Text given during an upload is held back until it ends; the upload ends with a job of its
    // own (the test print), which the text then follows.
    vtl::RunUntil([&] { return !s.port.Uploading(); }, milliseconds(o.timeout * 1000));
    s.printer.job = s.port.OutputID();
  }
  if (!onlyLogos) {
    s.printer.job = s.port.Imprimir(text, o.raw);
    std::cout << "queued job " << s.printer.job << ": " << text.size() << " bytes" << std::endl;
    if (o.cut) {
      s.port.CutPaper(100);
      s.printer.job = s.port.OutputID();
    }
  }
  return 0;
}

// Pumps until the job is printed, the printer stays in error or the time is up; the exit status.
int Wait(const Options& o, Session& s, std::int64_t total) {
  const Clock::time_point start = Clock::now();
  Clock::time_point lastProgress = start;
  const auto since = [](Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
  };
  for (;;) {
    vtl::RunUntil([&] { return s.printer.printed; }, milliseconds(250));
    if (s.printer.printed) return 0;
    if (total > 2048 && since(lastProgress) >= 1000) {
      lastProgress = Clock::now();
      const std::int64_t left = s.port.OutBufferCount();
      std::cout << "progress: " << (left <= total ? total - left : 0) << " of " << total
                << " bytes handed to the port" << std::endl;
    }
    // An error that begins after the printer was ready gets a few seconds to clear.
    if (s.printer.error && s.printer.everReady && since(s.printer.errorSince) > 5000) {
      std::cerr << "vtlprint: the printer reports "
                << (s.printer.paperOut ? "paper out" : "an error (off line or unplugged)")
                << "; the job is not finished\n";
      return 3;
    }
    if (since(start) > o.timeout * 1000) {
      if (!s.printer.everReady) {
        std::cerr << "vtlprint: the printer never reported ready on " << s.nombre
                  << " (no status line came up in " << o.timeout << " s)\n";
        return 3;
      }
      std::cerr << "vtlprint: the job did not finish in " << o.timeout << " s\n";
      return 4;
    }
  }
}

// What the simulated printer received, write by write.
void ShowWrites(const vtl::SimulatedPrinter& simulated) {
  int n = 0;
  std::size_t bytes = 0;
  for (const vtl::Bytes& block : simulated.Writes()) {
    std::printf("write #%d: %zu bytes\n            %s\n", ++n, block.size(), Show(block).c_str());
    bytes += block.size();
  }
  std::cout << "device received " << bytes << " bytes in " << n << " write" << (n == 1 ? "" : "s")
            << "\n";
}

int Run(int argc, char** argv) {
  Options o;
  if (const auto end = Parse(argc, argv, o)) return *end;
  if (!o.speedPort.empty()) return VelocidadDeLinea(o.detectSpeed, o.speedPort);
  if (o.listPorts) return ListPorts();
  if (o.listQueues) return ListQueues();

  const bool onlyLogos = !o.logos.empty() && o.input.empty();
  const std::optional<vtl::Bytes> text = ReadJob(o);
  if (!text) return 1;
  Session s;
  if (const int status = Open(o, s)) return status;
  if (const int status = Print(o, s, *text, onlyLogos)) return status;
  const int result = Wait(o, s, onlyLogos ? 0 : static_cast<std::int64_t>(text->size()));
  if (s.simulated) ShowWrites(*s.simulated);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const vtl::Error& e) {
    std::cerr << "vtlprint: " << e.what() << " (error " << e.Number() << ", " << e.Source()
              << ")\n";
    return 1;
  }
}
