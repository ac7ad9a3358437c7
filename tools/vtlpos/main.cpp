// vtlpos: a CUPS backend for ESC/POS receipt printers that reads their status back.
//
// CUPS's own backends hand the bytes over and read nothing, so a queue shows a receipt printer
// as ready while it is out of paper. This one prints each job through the library's channels
// and tells CUPS what the printer reports, as it changes ("STATE: +media-empty-error", ...). A
// printer out of paper or with its cover open holds the job: the backend waits for it rather
// than failing the job, and the job completes once the printer has taken and confirmed every
// byte.
//
// Device URIs:
//   vtlpos://HOST[:PORT]                               a network printer (TCP, port 9100)
//   vtlpos:/dev/ttyUSB0?baud=19200&handshake=rtscts    a serial printer
//   vtlpos:/dev/usb/lp0                                a USB or parallel printer
//
// Run without arguments, it names its scheme only: it never probes for devices (a serial probe
// could reach the console, and a network scan is nobody's business).
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "vtldllxt.hpp"

namespace {

// The backend's exit codes, as CUPS reads them.
enum Salida {
  kOk = 0,      // the job printed
  kFailed = 1,  // the job failed: the queue's error policy decides
  kStop = 4,    // the queue is set up wrongly: stop it
  kRetry = 6,   // try the job again later
};

volatile std::sig_atomic_t cancelado = 0;

void AlCancelar(int) {
  cancelado = 1;
}

struct Destino {
  std::string red;          // HOST:PORT
  std::string dispositivo;  // a device path
  bool paralelo = false;
  std::int32_t velocidad = 9600;
  std::optional<vtl::Handshake> handshake;
};

bool Numero(const std::string& s, long lo, long hi, long* out) {
  if (s.empty() || s.size() > 9) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

// A host name or address as a URI carries it: letters, digits, dots, hyphens, or an IPv6
// address in brackets.
bool HostValido(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  if (host.front() == '[') {
    if (host.back() != ']') return false;
    for (std::size_t i = 1; i + 1 < host.size(); ++i) {
      const char c = host[i];
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    }
    return true;
  }
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
  }
  return true;
}

// A device path of /dev, without a way out of it.
bool DispositivoValido(const std::string& path) {
  if (path.rfind("/dev/", 0) != 0 || path.size() > 200) return false;
  if (path.find("/../") != std::string::npos || path.find("/./") != std::string::npos ||
      path.ends_with("/..") || path.find("//") != std::string::npos) {
    return false;
  }
  for (char c : path) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '_' && c != '-' &&
        c != '.' && c != ':') {
      return false;
    }
  }
  return true;
}

std::optional<vtl::Handshake> HandshakeDe(const std::string& h) {
  if (h == "none") return vtl::Handshake::eHSKNone;
  if (h == "xonxoff") return vtl::Handshake::eHSKSoftware;
  if (h == "rtscts") return vtl::Handshake::eHSKHardware;
  if (h == "both") return vtl::Handshake::eHSKSoftwareHardware;
  return std::nullopt;
}

// Reads a device URI; the complaint when it is not one this backend takes.
std::optional<Destino> LeerUri(const std::string& uri, std::string* queja) {
  Destino d;
  const std::string esquema = "vtlpos:";
  if (uri.rfind(esquema, 0) != 0) {
    *queja = "not a vtlpos: device URI";
    return std::nullopt;
  }
  std::string resto = uri.substr(esquema.size());
  if (resto.rfind("//", 0) == 0) {
    resto = resto.substr(2);
    if (!resto.empty() && resto.back() == '/') resto.pop_back();
    std::string host = resto;
    long puerto = 9100;
    const std::size_t dos = resto.rfind(':');
    if (dos != std::string::npos && resto.find(']', dos) == std::string::npos) {
      host = resto.substr(0, dos);
      if (!Numero(resto.substr(dos + 1), 1, 65535, &puerto)) {
        *queja = "the port in " + uri + " is not a number from 1 to 65535";
        return std::nullopt;
      }
    }
    if (!HostValido(host)) {
      *queja = "no printer host in " + uri;
      return std::nullopt;
    }
    d.red = host + ":" + std::to_string(puerto);
    return d;
  }
  const std::size_t q = resto.find('?');
  d.dispositivo = resto.substr(0, q);
  if (!DispositivoValido(d.dispositivo)) {
    *queja = "the device in " + uri + " is not a path under /dev";
    return std::nullopt;
  }
  d.paralelo = d.dispositivo.rfind("/dev/usb/lp", 0) == 0 || d.dispositivo.rfind("/dev/lp", 0) == 0;
  std::stringstream opciones(q == std::string::npos ? "" : resto.substr(q + 1));
  for (std::string par; std::getline(opciones, par, '&');) {
    const std::size_t igual = par.find('=');
    const std::string clave = par.substr(0, igual);
    const std::string valor = igual == std::string::npos ? "" : par.substr(igual + 1);
    long v = 0;
    if (clave == "baud" && Numero(valor, 300, 921600, &v)) {
      d.velocidad = static_cast<std::int32_t>(v);
    } else if (clave == "handshake" && HandshakeDe(valor)) {
      d.handshake = HandshakeDe(valor);
    } else {
      *queja = "unknown or bad option '" + par + "' in " + uri;
      return std::nullopt;
    }
  }
  return d;
}

// What the printer said, passed on to CUPS as it changes.
struct Estado {
  bool error = false;
  bool sinPapel = false;
  bool conocido = false;
  std::int32_t impreso = 0;

  bool tapa = false;

  void Cambio(bool nuevoError, bool nuevoSinPapel, bool nuevaTapa) {
    nuevaTapa = nuevoError && nuevaTapa;
    if (conocido && nuevoError == error && nuevoSinPapel == sinPapel && nuevaTapa == tapa) return;
    conocido = true;
    error = nuevoError;
    sinPapel = nuevoSinPapel;
    tapa = nuevaTapa;
    // One reason at a time, the others cleared: what CUPS shows is what the printer says now.
    const char* motivo = !error     ? nullptr
                         : sinPapel ? "media-empty-error"
                         : tapa     ? "cover-open-error"
                                    : "offline-report";
    std::string quitar;
    for (const char* r : {"media-empty-error", "cover-open-error", "offline-report"}) {
      if (!motivo || std::strcmp(r, motivo) != 0)
        quitar += (quitar.empty() ? "" : ",") + std::string(r);
    }
    std::cerr << "STATE: -" << quitar << "\n";
    if (!motivo) {
      std::cerr << "INFO: printer ready" << std::endl;
      return;
    }
    std::cerr << "STATE: +" << motivo << "\nINFO: "
              << (sinPapel ? "the printer is out of paper"
                  : tapa   ? "the printer's cover is open"
                           : "the printer is off line (an error, or not reachable)")
              << "; the job waits for it" << std::endl;
  }
};

std::optional<std::string> LeerTrabajo(const char* fichero) {
  std::stringstream ss;
  if (fichero) {
    std::ifstream f(fichero, std::ios::binary);
    if (!f) return std::nullopt;
    ss << f.rdbuf();
  } else {
    ss << std::cin.rdbuf();
  }
  return ss.str();
}

int Imprimir(const Destino& d, const std::string& trabajo, int copias) {
  Estado estado;
  vtl::PrnPort port;
  port.OnNuevoEstado([&](bool error, bool sinPapel) {
    estado.Cambio(error, sinPapel, port.Condition().coverOpen);
  });
  port.OnDatosImpresos([&](std::int32_t id) { estado.impreso = id; });
  if (d.handshake) port.ControlDeFlujo(*d.handshake);
  if (!d.red.empty()) {
    std::cerr << "INFO: connecting to " << d.red << std::endl;
    port.InicializarRed(d.red);
  } else {
    if (d.paralelo) {
      port.InicializarParalelo(d.dispositivo);
    } else {
      port.InicializarSerie(d.dispositivo, d.velocidad, false);
    }
    const vtl::OpeningError why = port.UltimoErrorApertura();
    if (why.number != 0) {
      std::cerr << "ERROR: cannot open " << d.dispositivo << ": " << why.message << std::endl;
      return kRetry;
    }
  }
  // Raw bytes as CUPS gives them: one command each copy, so no byte is changed and nothing is
  // put inside it.
  std::int32_t ultimo = 0;
  for (int i = 0; i < copias; ++i) ultimo = port.Imprimir(vtl::Bytes(trabajo), true);
  while (estado.impreso < ultimo) {
    if (cancelado) {
      // CUPS canceled the job: what the printer has not taken is dropped, and the printer is let
      // go at once.
      port.ClearAll();
      port.CloseAll();
      std::cerr << "INFO: job canceled" << std::endl;
      return kOk;
    }
    vtl::RunUntil([&] { return estado.impreso >= ultimo || cancelado; },
                  std::chrono::milliseconds(200));
  }
  std::cerr << "INFO: printed" << std::endl;
  return kOk;
}

int Run(int argc, char** argv) {
  if (argc == 1) {
    // The scheme only: no discovery.
    std::cout << "network vtlpos \"Unknown\" \"ESC/POS receipt printer with status (vtlpos)\""
              << std::endl;
    return kOk;
  }
  if (argc < 6 || argc > 7) {
    std::cerr << "Usage: vtlpos job-id user title copies options [file]" << std::endl;
    return kFailed;
  }
  const char* uri = std::getenv("DEVICE_URI");
  std::string texto = uri ? uri : argv[0];
  std::string queja;
  const std::optional<Destino> d = LeerUri(texto, &queja);
  if (!d) {
    std::cerr << "ERROR: " << queja << std::endl;
    return kStop;
  }
  long copias = 1;
  // Copies are the backend's to make only when it reads a file; from standard input the
  // filters made them.
  if (argc == 7 && !Numero(argv[4], 1, 1000, &copias)) copias = 1;
  const std::optional<std::string> trabajo = LeerTrabajo(argc == 7 ? argv[6] : nullptr);
  if (!trabajo) {
    std::cerr << "ERROR: cannot read the job file" << std::endl;
    return kFailed;
  }
  struct sigaction accion {};
  accion.sa_handler = AlCancelar;
  sigemptyset(&accion.sa_mask);
  sigaction(SIGTERM, &accion, nullptr);
  return Imprimir(*d, *trabajo, trabajo->empty() ? 0 : static_cast<int>(copias));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const vtl::Error& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return kFailed;
  }
}
