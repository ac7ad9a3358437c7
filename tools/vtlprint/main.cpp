// vtlprint: prints a receipt through the library on a serial, parallel, network or spooler
// printer, asks a printer for its state, and opens its cash drawer.
//
// The text (a file, standard input, or a sample receipt) is UTF-8 and goes to the printer in
// Windows-1252; --raw passes the bytes untouched. The program shows the printer's events as they
// come (as text, or as JSON lines for scripts), waits until the job is printed and exits non-zero
// when the printer reports an error or never finishes. Run `vtlprint --help` for the options.
//
// It reaches the library only through its public C++ face, vtldllxt.hpp, as any host would.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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

// Standard output is a terminal: progress is drawn in place there.
bool OnTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

// The library reads VTL_TRACE the first time it traces: set before anything reaches it.
void TraceTo(const std::string& file) {
#ifdef _WIN32
  _putenv_s("VTL_TRACE", file.c_str());
#else
  setenv("VTL_TRACE", file.c_str(), 1);
#endif
}

// ---- Output ----

// One JSON object, written as one line.
class Json {
 public:
  explicit Json(const std::string& event) { Add("event", event); }
  Json& Add(const std::string& key, const std::string& value) {
    Key(key);
    text_ += '"';
    for (unsigned char c : value) {
      if (c == '"' || c == '\\') {
        text_ += '\\';
        text_ += static_cast<char>(c);
      } else if (c < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        text_ += escaped;
      } else {
        text_ += static_cast<char>(c);
      }
    }
    text_ += '"';
    return *this;
  }
  Json& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  Json& Add(const std::string& key, std::int64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
  }
  Json& Add(const std::string& key, std::int32_t value) {
    return Add(key, static_cast<std::int64_t>(value));
  }
  Json& Add(const std::string& key, std::size_t value) {
    return Add(key, static_cast<std::int64_t>(value));
  }
  Json& Add(const std::string& key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
  }
  Json& Null(const std::string& key) {
    Key(key);
    text_ += "null";
    return *this;
  }
  std::string Str() const { return text_ + "}"; }

 private:
  void Key(const std::string& key) {
    text_ += text_.size() > 1 ? ",\"" : "\"";
    text_ += key + "\":";
  }
  std::string text_ = "{";
};

// What the program tells its user: lines of text, or with --json one JSON object a line. While
// a port opens, what the events say waits: an opening that fails is reported alone.
class Report {
 public:
  bool json = false;
  bool terminal = false;

  void Say(const std::string& text, const Json& object) {
    const std::string line = json ? object.Str() : text;
    if (holding_) {
      held_.push_back(line);
      return;
    }
    EndProgress();
    std::cout << line << std::endl;
  }
  // A failure: on standard error as text, and as a JSON line for scripts.
  void Fail(const std::string& text) {
    EndProgress();
    if (json) std::cout << Json("error").Add("message", text).Str() << std::endl;
    std::cerr << "vtlprint: " << text << "\n";
  }
  // Bytes the printer has confirmed of a long job or an upload: drawn in place on a terminal,
  // one JSON line for scripts, nothing in a log.
  void Progress(const char* what, std::int64_t done, std::int64_t total) {
    if (holding_ || total <= 0) return;
    if (json) {
      std::cout << Json("progress").Add("what", what).Add("done", done).Add("total", total).Str()
                << std::endl;
    } else if (terminal) {
      const int width = 30;
      const int filled = static_cast<int>(width * std::min(done, total) / total);
      std::cout << "\r" << what << " [" << std::string(static_cast<std::size_t>(filled), '#')
                << std::string(static_cast<std::size_t>(width - filled), '.') << "] " << done
                << " of " << total << " bytes" << std::flush;
      drawn_ = true;
    }
  }
  void EndProgress() {
    if (!drawn_) return;
    std::cout << "\n";
    drawn_ = false;
  }
  void Hold() { holding_ = true; }
  // Ends the hold: `first`, then what waited.
  void Release(const std::string& text, const Json& object) {
    std::cout << (json ? object.Str() : text) << std::endl;
    holding_ = false;
    for (const std::string& line : held_) std::cout << line << std::endl;
    held_.clear();
  }

 private:
  bool holding_ = false;
  bool drawn_ = false;
  std::vector<std::string> held_;
};

// ---- Options ----

struct Options {
  std::string device, input, lan, queue, trace;
  std::vector<std::string> logos, logoNames;
  long serial = 0, parallel = 0, baud = 9600, timeout = 60, handshake = -1;
  long drawerPin = 2;
  bool timeoutGiven = false;
  bool sim = false, raw = false, cut = false, noCallback = false;
  bool listPorts = false, listQueues = false;
  bool status = false, drawer = false, json = false;
  // --detect-speed or --speed-test, which end the options.
  std::string speedPort;
  bool detectSpeed = false;
};

int Usage(int code) {
  (code ? std::cerr : std::cout)
      << "usage: vtlprint [OPTIONS] [FILE|-]\n"
         "\n"
         "Prints FILE (UTF-8 text; '-' reads standard input; without FILE a sample receipt) on a\n"
         "receipt printer through the vtldllxt library, shows the printer's events, and waits\n"
         "until the job is printed. Also asks a printer for its state, and opens its drawer.\n"
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
         "  --drawer [PIN]    open the cash drawer: the drawer-kick command ESC p on connector\n"
         "                    pin 2 (the default) or 5, after the text; without FILE the drawer\n"
         "                    is opened and nothing is printed\n"
         "  --logo BMP[,NAME] store a 1-bit bitmap in the printer's memory as the next logo\n"
         "                    (repeatable; logos are numbered from 1 in the order given); each\n"
         "                    named logo is test-printed afterwards. Without FILE only the\n"
         "                    logos are stored.\n"
         "  --timeout SEC     give up after SEC seconds without the job printed (default 60;\n"
         "                    an error that begins while printing gets 5 s, or half of SEC, to\n"
         "                    clear)\n"
         "Instead of printing:\n"
         "  --status          open the port, wait for the printer's first state and say what\n"
         "                    the port can tell: ready or in error, paper out, cover, on line,\n"
         "                    drawer (waits up to 10 s, or --timeout)\n"
         "  --list-ports      list the COM and LPT ports that can be opened now, one a line,\n"
         "                    with the device each maps to, and exit\n"
         "  --list-queues     list the spooler's queues, one a line (name, tab, its state and\n"
         "                    reasons in the spooler's words), and exit\n"
         "Output:\n"
         "  --json            one JSON object a line on standard output for every step, event\n"
         "                    and progress report, for scripts (failures also on standard error)\n"
         "  --trace FILE      the library's support trace in FILE (as VTL_TRACE=FILE): every\n"
         "                    opening, byte sent and received, and event, with times\n"
         "  -h, --help        this text\n"
         "\n"
         "On a terminal, long jobs and logo uploads show the bytes the printer has confirmed.\n"
         "\n"
         "Exit status: 0 printed (with --status: the printer is ready); 1 the port cannot be\n"
         "opened or the file read; 2 bad usage; 3 the printer reported an error (paper out, off\n"
         "line, unplugged) that did not clear, or never answered; 4 the job did not finish in\n"
         "time.\n";
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
    } else if (a == "--status") {
      o.status = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--drawer") {
      o.drawer = true;
      // The pin is optional: a number right after the option is it.
      if (i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]))) {
        if (!ParseInt(argv[++i], 2, 5, &o.drawerPin) || (o.drawerPin != 2 && o.drawerPin != 5)) {
          std::cerr << "vtlprint: --drawer takes connector pin 2 or 5\n";
          return 2;
        }
      }
    } else if (a == "--trace") {
      const char* v = next();
      if (!v || !*v) {
        std::cerr << "vtlprint: --trace takes a file\n";
        return 2;
      }
      o.trace = v;
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
      o.timeoutGiven = true;
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
  if (o.status && (!o.input.empty() || !o.logos.empty() || o.drawer || o.cut)) {
    std::cerr << "vtlprint: --status prints nothing: no FILE, --logo, --drawer or --cut with it\n";
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

// One queue a line: its name, a tab, and its state and reasons in the spooler's words.
int ListQueues() {
  for (const auto& q : vtl::SpoolerQueues()) {
    std::string words;
    try {
      words = vtl::SpoolerQueueState(q);
    } catch (const vtl::Error&) {
      words = "unknown (the spooler did not say)";
    }
    std::cout << q << "\t" << words << "\n";
  }
  return 0;
}

// ---- The printer's events ----

const char* TrueFalse(bool v) {
  return v ? "True" : "False";
}

// What the printer has said so far, shown as it comes.
struct Printer {
  Report& report;
  std::int32_t printedUpTo = 0;  // the highest job reported printed
  std::int32_t firstJob = 0;     // the first and last job of the work, for the final report
  std::int32_t lastJob = 0;
  bool sawState = false;   // a NuevoEstado came since the port was opened
  bool everReady = false;  // the printer has reported no error since the port was opened
  bool error = false;
  bool paperOut = false;
  std::optional<bool> drawerOpen, online;  // what a printer with status back reported
  bool logosStored = false;
  bool namedLogos = false;
  Clock::time_point errorSince, lastEvent = Clock::now();

  explicit Printer(Report& r) : report(r) {}

  void Connect(const vtl::PrnPort& port) {
    port.OnUploading([this](std::int32_t quedan, std::int32_t total) {
      lastEvent = Clock::now();
      if (report.json) {
        report.Say("", Json("Uploading").Add("left", quedan).Add("total", total));
      } else {
        report.Progress("upload", total - quedan, total);
      }
    });
    port.OnLogoGrabado([this](std::int32_t id) {
      lastEvent = Clock::now();
      logosStored = true;
      report.Say("event LogoGrabado(" + std::to_string(id) + "): the logos are stored" +
                     (namedLogos ? "; test print follows" : ""),
                 Json("LogoGrabado").Add("job", id));
    });
    port.OnDatosImpresos([this](std::int32_t id) {
      lastEvent = Clock::now();
      printedUpTo = std::max(printedUpTo, id);
      std::string words;
      if (lastJob && id >= lastJob) {
        words = firstJob && firstJob < lastJob ? ": jobs " + std::to_string(firstJob) + " to " +
                                                     std::to_string(lastJob) + " printed"
                                               : ": job " + std::to_string(lastJob) + " printed";
      }
      report.Say("event DatosImpresos(" + std::to_string(id) + ")" + words,
                 Json("DatosImpresos").Add("job", id));
    });
    port.OnNuevoEstado([this, &port](bool tmpError, bool tmpSinPapel) {
      lastEvent = Clock::now();
      sawState = true;
      std::string words;
      if (!tmpError) {
        words = "printer ready";
      } else if (tmpSinPapel) {
        words = "paper out";
      } else {
        words = everReady ? "printer not ready (off line, error, or unplugged)"
                          : "waiting for the printer (no status line up yet)";
      }
      // A spooler says why in its own words.
      if (const std::string why = port.Condition().words; tmpError && !why.empty()) {
        words = "the spooler reports: " + why;
      }
      report.Say(std::string("event NuevoEstado(tmpError=") + TrueFalse(tmpError) +
                     ", tmpSinPapel=" + TrueFalse(tmpSinPapel) + "): " + words,
                 Json("NuevoEstado").Add("error", tmpError).Add("paper_out", tmpSinPapel));
      if (tmpError && !error) errorSince = Clock::now();
      error = tmpError;
      paperOut = tmpSinPapel;
      if (!tmpError) everReady = true;
    });
    port.OnEstadoCajon([this](bool abierto) {
      lastEvent = Clock::now();
      drawerOpen = abierto;
      report.Say(std::string("event EstadoCajon(") + TrueFalse(abierto) + "): drawer " +
                     (abierto ? "open" : "closed"),
                 Json("EstadoCajon").Add("open", abierto));
    });
    port.OnEstadoOnLlineOffLine([this](bool enLinea) {
      lastEvent = Clock::now();
      online = enLinea;
      report.Say(std::string("event EstadoOnLlineOffLine(") + TrueFalse(enLinea) + "): printer " +
                     (enLinea ? "on line" : "off line"),
                 Json("EstadoOnLlineOffLine").Add("online", enLinea));
    });
  }
};

// The port goes first when a session ends: its handlers, then the simulated printer, after it.
struct Session {
  explicit Session(Report& r) : report(r), printer(r) {}
  Report& report;
  std::unique_ptr<vtl::SimulatedPrinter> simulated;
  Printer printer;
  vtl::PrnPort port{nullptr};
  std::string nombre;  // the port as the messages name it
  const char* kind = "";
};

// ---- Opening ----

// The text to print: the file, standard input or the sample receipt, in Windows-1252. Nothing
// when only the drawer is to be opened or only logos stored.
std::optional<vtl::Bytes> ReadJob(const Options& o) {
  vtl::Bytes text;
  if (o.input.empty()) {
    if (o.drawer || !o.logos.empty()) return vtl::Bytes();
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
  s.report.Fail("cannot open " + s.nombre + " (" + device + "): " + ErrorText(why.number));
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
      s.report.Fail("the spooler has no queue " + o.queue + " (see vtlprint --list-queues)");
      return 1;
    }
  }
  s.port = vtl::PrnPort();
  s.printer.Connect(s.port);
  if (o.handshake >= 0) s.port.ControlDeFlujo(static_cast<vtl::Handshake>(o.handshake));
  if (!o.lan.empty()) {
    s.nombre = o.lan.find(':') == std::string::npos ? o.lan + ":9100" : o.lan;
    s.kind = "network";
    s.report.Say("connecting to " + s.nombre,
                 Json("open").Add("port", s.nombre).Add("kind", s.kind));
    s.port.InicializarRed(o.lan);
    return 0;
  }
  if (!o.queue.empty()) {
    s.nombre = "queue " + o.queue;
    s.kind = "spooler";
    s.report.Say("printing through the spooler queue " + o.queue,
                 Json("open").Add("port", o.queue).Add("kind", s.kind));
    s.port.InicializarWindows(o.queue);
    return 0;
  }
  s.report.Hold();
  if (o.parallel) {
    s.nombre = "LPT" + std::to_string(o.parallel);
    s.kind = "parallel";
    s.port.InicializarParalelo(static_cast<std::int32_t>(o.parallel));
    if (!OpenedOrSaid(s, DeviceOf(s.nombre))) return 1;
    const vtl::PrnPortData record = s.port.PortData(static_cast<std::int32_t>(o.parallel - 1));
    const bool registers = record.Enabled() == -1;
    const std::string where = registers ? record.PortType() + " port at 0x" + Hex(record.Address())
                                        : std::string(
                                              "not reachable; the printer's state comes from "
                                              "its driver where it has one");
    s.report.Release("opening " + s.nombre + " (" + DeviceOf(s.nombre) + ")",
                     Json("open")
                         .Add("port", s.nombre)
                         .Add("kind", s.kind)
                         .Add("device", DeviceOf(s.nombre))
                         .Add("registers", registers ? where : std::string("none")));
    if (!o.json) std::cout << "port registers (" << vtl::PortIoBackend() << "): " << where << "\n";
  } else {
    // A device path or the simulated printer is reached under a COM name of its own.
    std::string device = o.device;
    if (o.sim) {
      s.simulated = std::make_unique<vtl::SimulatedPrinter>("vtlprint");
      device = s.simulated->Device();
    }
    s.kind = "serial";
    const auto baud = static_cast<std::int32_t>(o.baud);
    if (device.empty()) {
      s.nombre = "COM" + std::to_string(o.serial);
      s.port.InicializarSerie(static_cast<std::int32_t>(o.serial), baud, o.noCallback);
    } else {
      s.nombre = s.port.InicializarSerie(device, baud, o.noCallback);
    }
    const std::string shown = device.empty() ? DeviceOf(s.nombre) : device;
    if (!OpenedOrSaid(s, shown)) return 1;
    s.report.Release("opening " + s.nombre + (device.empty() ? "" : " (" + device + ")") + " at " +
                         std::to_string(o.baud) + " baud",
                     Json("open")
                         .Add("port", s.nombre)
                         .Add("kind", s.kind)
                         .Add("device", shown)
                         .Add("baud", static_cast<std::int64_t>(o.baud)));
  }
  return 0;
}

// ---- Printing ----

// ESC i, the cut the library's CutPaper sends.
const vtl::Bytes kCorte = Cmd({kEsc, 'i'});

// One piece of the work, queued as one job once the one before is printed.
struct Piece {
  vtl::Bytes bytes;
  bool command = false;  // queued as a pure command: never cut, line ends untouched
  std::string what;      // for the messages: "", or "drawer kick on pin 2"
};

// The work after the logos: the text (in pieces of a few kilobytes cut after a line end, so that
// the progress of a long job is what the printer has confirmed), the cut, the drawer kick.
std::vector<Piece> Work(const Options& o, const vtl::Bytes& text, bool wholeDocument) {
  constexpr std::size_t kPieza = 2048;
  std::vector<Piece> work;
  const std::string& t = text.str();
  if (!t.empty()) {
    // Raw bytes may hold commands with binary arguments: they go whole, as a spooler document.
    const bool cortar = !o.raw && !wholeDocument && t.size() > 2 * kPieza;
    std::size_t desde = 0;
    while (desde < t.size()) {
      std::size_t hasta = t.size();
      if (cortar && t.size() - desde > kPieza + kPieza / 2) {
        const std::size_t lf = t.find('\n', desde + kPieza);
        if (lf != std::string::npos && lf + 1 < t.size()) hasta = lf + 1;
      }
      work.push_back({vtl::Bytes(t.substr(desde, hasta - desde)), o.raw, ""});
      desde = hasta;
    }
    if (o.cut) work.back().bytes += kCorte;
  } else if (o.cut) {
    work.push_back({kCorte, true, "paper cut"});
  }
  if (o.drawer) {
    // ESC p m t1 t2: m 0 for pin 2, 1 for pin 5; on for 50 ms, off for 500 ms.
    const char m = o.drawerPin == 5 ? 1 : 0;
    work.push_back({Cmd({kEsc, 'p', m, 25, static_cast<char>(250)}), true,
                    "drawer kick on pin " + std::to_string(o.drawerPin)});
  }
  return work;
}

// Queues a piece; its job number.
std::int32_t Queue(Session& s, const Piece& p) {
  const std::int32_t job = s.port.Imprimir(p.bytes, p.command);
  if (!s.printer.firstJob) s.printer.firstJob = job;
  s.report.Say("queued job " + std::to_string(job) + ": " +
                   (p.what.empty() ? std::to_string(p.bytes.size()) + " bytes" : p.what),
               Json("queued")
                   .Add("job", job)
                   .Add("bytes", p.bytes.size())
                   .Add("what", p.what.empty() ? "text" : p.what));
  return job;
}

// Stores the logos; 0, or the exit status when they cannot be used.
int UploadLogos(const Options& o, Session& s) {
  if (o.logos.empty()) return 0;
  s.printer.namedLogos =
      std::any_of(o.logoNames.begin(), o.logoNames.end(), [](auto& n) { return !n.empty(); });
  s.port.UploadLogo(o.logos, o.logoNames);
  if (!s.port.Uploading()) {
    s.report.Fail("the bitmaps could not be converted (1-bit, uncompressed BMP files only)");
    return 1;
  }
  s.report.Say(
      "uploading " + std::to_string(o.logos.size()) + " logo" + (o.logos.size() == 1 ? "" : "s"),
      Json("uploading").Add("logos", o.logos.size()));
  return 0;
}

// Pumps until `done`, the printer stays in error or the time is up; the exit status, or nothing
// once `done` answers true.
std::optional<int> WaitFor(const Options& o, Session& s, Clock::time_point start,
                           const std::function<bool()>& done) {
  const auto since = [](Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
  };
  // An error that begins after the printer was ready gets a few seconds to clear.
  const long grace = std::min(5000L, o.timeout * 500);
  for (;;) {
    vtl::RunUntil(done, milliseconds(100));
    if (done()) return std::nullopt;
    if (s.printer.error && s.printer.everReady && since(s.printer.errorSince) > grace) {
      s.report.Fail(std::string("the printer reports ") +
                    (s.printer.paperOut ? "paper out" : "an error (off line or unplugged)") +
                    "; the job is not finished");
      return 3;
    }
    if (since(start) > o.timeout * 1000) {
      if (!s.printer.everReady) {
        s.report.Fail("the printer never reported ready on " + s.nombre +
                      " (no status line came up in " + std::to_string(o.timeout) + " s)");
        return 3;
      }
      s.report.Fail("the job did not finish in " + std::to_string(o.timeout) + " s");
      return 4;
    }
  }
}

// The logos, then the pieces one at a time (all at once for a spooler queue, whose burst is one
// document); the exit status.
int PrintAll(const Options& o, Session& s, const vtl::Bytes& text) {
  const Clock::time_point start = Clock::now();
  if (const int status = UploadLogos(o, s)) return status;
  std::int32_t afterLogos = 0;
  if (!o.logos.empty()) {
    // Text given during an upload is held back until it ends; the upload ends with the test print
    // of the named logos, a job of its own, which the text then follows. Unnamed logos have
    // nothing to print: the upload's end is the end.
    if (auto end =
            WaitFor(o, s, start, [&] { return s.printer.logosStored && !s.port.Uploading(); }))
      return *end;
    if (s.printer.namedLogos) afterLogos = s.port.OutputID();
  }
  const bool spooler = !o.queue.empty();
  const std::vector<Piece> work = Work(o, text, spooler);
  std::int64_t total = 0, confirmed = 0;
  for (const Piece& p : work)
    total += p.what.empty() ? static_cast<std::int64_t>(p.bytes.size()) : 0;
  const bool showProgress = total > 4096;
  std::size_t next = 0;
  std::int32_t inFlight = 0;
  std::size_t inFlightIndex = 0;
  const auto queueNext = [&] {
    inFlightIndex = next;
    inFlight = Queue(s, work[next++]);
    if (next == work.size()) s.printer.lastJob = inFlight;
  };
  if (work.empty()) {
    s.printer.firstJob = s.printer.lastJob = afterLogos;
  } else if (spooler) {
    while (next < work.size()) queueNext();
  } else {
    queueNext();
  }
  const auto allDone = [&] {
    return next == work.size() && s.printer.printedUpTo >= std::max(s.printer.lastJob, afterLogos);
  };
  const auto pieceDone = [&] { return inFlight && s.printer.printedUpTo >= inFlight; };
  for (;;) {
    if (auto end = WaitFor(o, s, start, [&] { return allDone() || pieceDone(); })) return *end;
    if (pieceDone()) {
      if (work[inFlightIndex].what.empty()) {
        confirmed += static_cast<std::int64_t>(work[inFlightIndex].bytes.size());
      }
      if (showProgress) s.report.Progress("printed", confirmed, total);
      inFlight = 0;
    }
    if (allDone()) break;
    if (!inFlight && next < work.size()) queueNext();
  }
  s.report.EndProgress();
  return 0;
}

// ---- Status ----

// --status: what the library tells of the printer once the port has settled.
int Status(const Options& o, Session& s) {
  const auto since = [](Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
  };
  const Clock::time_point start = Clock::now();
  const long limit = o.timeoutGiven ? o.timeout * 1000 : 10000;
  // A network printer tells its state only in replies to the status request that follows what
  // it is sent: two NUL bytes, which a printer ignores, bring one.
  const bool network = std::string(s.kind) == "network";
  const std::int32_t probe = network ? s.port.Imprimir(vtl::Bytes(std::string(2, '\0')), true) : 0;
  bool answered = false;
  const auto settled = [&] {
    if (network) {
      answered = s.printer.printedUpTo >= probe && !s.printer.error;
      return answered ||
             (s.printer.error && s.printer.everReady && since(s.printer.lastEvent) > 300);
    }
    // Serial printers send their drawer and on-line state by themselves soon after the first
    // state: the port has settled once it has been quiet a moment.
    return s.printer.sawState && since(s.printer.lastEvent) >= 1000;
  };
  bool timedOut = false;
  while (!settled()) {
    if (since(start) > limit) {
      timedOut = true;
      break;
    }
    vtl::RunUntil(settled, milliseconds(100));
  }
  const Printer& p = s.printer;
  const bool ready = !timedOut && p.sawState && !p.error && (!network || answered);
  std::string state = ready ? "ready" : p.error ? "in error" : "no answer";
  if (timedOut && !p.sawState) state = "no status";
  std::string cover, drawer, online;
  if (ready) {
    cover = "closed";
  } else if (p.error && p.paperOut) {
    cover = "unknown (paper out stops the printer first)";
  } else if (p.error) {
    cover = "open, or the printer stopped for another reason (this port does not tell which)";
  } else {
    cover = "unknown";
  }
  if (std::string(s.kind) == "spooler") cover = "not reported through a spooler queue";
  // A serial printer reports its drawer and on-line state once it has taken the request for
  // them; one that is off line at the opening has not, and only its lines speak for it.
  const bool serial = std::string(s.kind) == "serial";
  const std::string silent = serial ? "not reported by the printer" : "not reported on this port";
  const std::string note =
      ready && serial && !p.online ? " by its lines (it sent no status of its own)" : "";
  if (!note.empty()) cover = "unknown";
  drawer = p.drawerOpen ? (*p.drawerOpen ? "open" : "closed") : silent;
  online = p.online ? (*p.online ? "yes" : "no") : silent;
  if (std::string(s.kind) == "spooler") {
    // The queue's own state says more than any line could.
    try {
      online = "the queue is " + vtl::SpoolerQueueState(o.queue);
    } catch (const vtl::Error& e) {
      online = std::string("unknown (") + e.what() + ")";
    }
  }
  if (o.json) {
    Json j("status");
    j.Add("port", s.nombre).Add("kind", s.kind).Add("state", state).Add("ready", ready);
    j.Add("error", p.error).Add("paper_out", p.error && p.paperOut).Add("cover", cover);
    if (p.online) {
      j.Add("on_line", *p.online);
    } else {
      j.Null("on_line");
    }
    if (p.drawerOpen) {
      j.Add("drawer_open", *p.drawerOpen);
    } else {
      j.Null("drawer_open");
    }
    std::cout << j.Str() << std::endl;
  } else {
    std::cout << s.nombre << ": printer " << state << note << "\n"
              << "  paper out: " << (p.error && p.paperOut ? "yes" : "no") << "\n"
              << "  cover:     " << cover << "\n"
              << "  on line:   " << online << "\n"
              << "  drawer:    " << drawer << std::endl;
  }
  if (timedOut && !p.error && !ready) {
    s.report.Fail("the printer did not answer in " + std::to_string(limit / 1000) + " s");
  }
  return ready ? 0 : 3;
}

// What the simulated printer received, write by write.
void ShowWrites(const Options& o, const vtl::SimulatedPrinter& simulated) {
  int n = 0;
  std::size_t bytes = 0;
  for (const vtl::Bytes& block : simulated.Writes()) {
    ++n;
    if (o.json) {
      std::string hex;
      for (unsigned char c : block.str()) {
        char two[4];
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
      }
      std::cout << Json("write")
                       .Add("n", static_cast<std::int64_t>(n))
                       .Add("bytes", block.size())
                       .Add("hex", hex)
                       .Str()
                << "\n";
    } else {
      std::printf("write #%d: %zu bytes\n            %s\n", n, block.size(), Show(block).c_str());
    }
    bytes += block.size();
  }
  if (!o.json) {
    std::cout << "device received " << bytes << " bytes in " << n << " write" << (n == 1 ? "" : "s")
              << "\n";
  }
}

int Run(const Options& o, Report& report) {
  const std::optional<vtl::Bytes> text = ReadJob(o);
  if (!text) return 1;
  Session s(report);
  if (const int status = Open(o, s)) return status;
  if (o.status) return Status(o, s);
  const int result = PrintAll(o, s, *text);
  if (s.simulated) {
    std::fflush(stdout);
    ShowWrites(o, *s.simulated);
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const auto end = Parse(argc, argv, o)) return *end;
  if (!o.trace.empty()) TraceTo(o.trace);
  Report report;
  report.json = o.json;
  report.terminal = OnTerminal();
  int status = 1;
  try {
    if (!o.speedPort.empty()) {
      status = VelocidadDeLinea(o.detectSpeed, o.speedPort);
    } else if (o.listPorts) {
      status = ListPorts();
    } else if (o.listQueues) {
      status = ListQueues();
    } else {
      status = Run(o, report);
    }
  } catch (const vtl::Error& e) {
    report.Fail(std::string(e.what()) + " (error " + std::to_string(e.Number()) + ", " +
                e.Source() + ")");
    status = 1;
  }
  report.EndProgress();
  if (o.json)
    std::cout << Json("exit").Add("status", static_cast<std::int64_t>(status)).Str() << std::endl;
  return status;
}
