// Printing through a queue of the system's spooler: everything queued when a tick comes round
// goes out as one raw document.
//
// A spooler may be slow or silent (a print server across the network), so no spooler call runs
// on the host thread: opening the queue and handing a document over each run on a short-lived
// worker, and the tick goes on meanwhile. The queue's handle belongs to the worker while it
// works; a port closed meanwhile gives it back to the spooler once the worker is done.
#include <algorithm>

#include "engine/prnport.h"
#include "platform/loop.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

namespace {

// A queue that failed is tried again after this long, twice as long after every further
// failure, up to the last.
constexpr std::int64_t kPrimerReintentoCola = 250;
constexpr std::int64_t kUltimoReintentoCola = 30'000;

std::int64_t Ahora() {
  return Loop::Current().Now();
}

}  // namespace

struct clsPrnPort::ResultadoCola {
  HANDLE handle = 0;
  bool ok = false;
  DWORD error = 0;
};

void clsPrnPort::AbrirColaEnSegundoPlano() {
  if (m_ColaEnCurso || IsPrinterHandle(m_hPuerto) || m_PuertoCerrado) return;
  m_ColaEnCurso = true;
  const std::string nombre = m_NombrePuerto;
  auto resultado = std::make_shared<ResultadoCola>();
  std::weak_ptr<clsPrnPort> weak = weak_from_this();
  RunOnWorker(
      [nombre, resultado] {
        HANDLE h = 0;
        resultado->ok = OpenPrinterA(nombre.c_str(), &h, nullptr) != FALSE;
        resultado->error = resultado->ok ? 0 : GetLastError();
        resultado->handle = h;
      },
      [weak, resultado, nombre] {
        auto self = weak.lock();
        if (!self) {
          if (resultado->handle) ClosePrinter(resultado->handle);
          return;
        }
        self->ColaAbierta(*resultado, nombre);
      });
}

void clsPrnPort::ColaAbierta(const ResultadoCola& r, const std::string& nombre) {
  m_ColaEnCurso = false;
  // Meanwhile the host may have closed the port or opened another: the queue is not wanted.
  if (m_TipoPuerto != eTDPWIN || m_PuertoCerrado || PuertoAbierto() || m_NombrePuerto != nombre) {
    if (r.handle) ClosePrinter(r.handle);
    return;
  }
  if (r.ok) {
    m_hPuerto = r.handle;
    m_EsperaCola = 0;
    m_ProximoIntentoCola = 0;
  } else {
    EsperarCola();
  }
  const std::uint64_t generacion = m_GeneracionRed;
  // The first answer tells the host the queue's state: free of errors, or the error at once
  // rather than only when text waits. Later ones report only a change.
  bool error = !r.ok, impreso = false;
  if (!m_PrimerPasoWindows) {
    m_PrimerPasoWindows = true;
    m_Estado = error ? (m_Estado & ~2) : (m_Estado | 2);
  }
  ActualizarEstadoRed(error, impreso);
  // What waits goes to the queue at once, not at the next tick.
  if (r.ok && m_TipoPuerto == eTDPWIN && m_GeneracionRed == generacion) PasoWindows();
}

void clsPrnPort::EsperarCola() {
  m_EsperaCola = std::min(std::max(m_EsperaCola * 2, kPrimerReintentoCola), kUltimoReintentoCola);
  m_ProximoIntentoCola = Ahora() + m_EsperaCola;
}

void clsPrnPort::PasoWindows() {
  auto self = shared_from_this();
  if (!m_ColaEntrada.empty()) {
    m_BufferSalida.append(m_ColaEntrada, m_MarcasCola.Take(m_ColaEntrada));
    m_ColaEntrada.clear();
  }
  // One spooler call at a time, off this thread.
  if (m_ColaEnCurso || m_DocumentoEnCurso) return;
  if (!IsPrinterHandle(m_hPuerto)) {
    if (Ahora() >= m_ProximoIntentoCola) AbrirColaEnSegundoPlano();
    return;
  }
  if (m_BufferSalida.empty()) {
    // An open queue with nothing waiting has no error to report (ClearAll may have left one
    // behind with the text it discarded).
    if (m_Estado & 2) {
      bool error = false, impreso = false;
      ActualizarEstadoRed(error, impreso);
    }
    return;
  }
  if (Ahora() < m_ProximoIntentoCola) return;
  ImprimirDocumentoWindows(m_BufferSalida.str());
}

bool clsPrnPort::ImprimirDocumentoWindows(const std::string& tmpTexto) {
  std::string nombre = "VTL:";
  if (!DocName.empty()) {
    nombre += DocName;
  } else {
    ++m_DocumentosWindows;
    nombre += std::to_string(m_hPuerto) + "(" + std::to_string(m_DocumentosWindows) + ")";
  }
  if (m_Uploading && m_UploadBytesEnviados == 0) {
    m_UploadBytesEnviados = static_cast<std::int32_t>(tmpTexto.size());
  }
  // The document carries the text as given, plus the closing zero byte the spooler expects.
  std::string bytes = tmpTexto;
  bytes.push_back('\0');
  const HANDLE cola = m_hPuerto;
  const std::size_t tamano = tmpTexto.size();
  const std::uint64_t generacion = m_GeneracionRed;
  m_DocumentoEnCurso = true;
  auto resultado = std::make_shared<ResultadoCola>();
  std::weak_ptr<clsPrnPort> weak = weak_from_this();
  RunOnWorker(
      [cola, nombre, bytes = std::move(bytes), resultado] {
        DOC_INFO_1A info{nombre.c_str(), nullptr, nullptr};
        bool ok = StartDocPrinterA(cola, 1, &info) != 0;
        if (ok) {
          DWORD escritos = 0;
          ok = StartPagePrinter(cola) == TRUE &&
               WritePrinter(cola, bytes.data(), static_cast<DWORD>(bytes.size()), &escritos) ==
                   TRUE &&
               EndPagePrinter(cola) == TRUE;
          ok = EndDocPrinter(cola) == TRUE && ok;
        }
        resultado->ok = ok;
        resultado->error = ok ? 0 : GetLastError();
        resultado->handle = cola;
      },
      [weak, resultado, tamano, generacion] {
        auto self = weak.lock();
        if (!self) {
          ClosePrinter(resultado->handle);
          return;
        }
        self->DocumentoEntregado(*resultado, tamano, generacion);
      });
  return true;
}

void clsPrnPort::DocumentoEntregado(const ResultadoCola& r, std::size_t tamano,
                                    std::uint64_t generacion) {
  m_DocumentoEnCurso = false;
  if (m_ColaPorCerrar == r.handle) {
    // The port was closed while the worker had the queue: it goes back to the spooler now.
    ClosePrinter(r.handle);
    m_ColaPorCerrar = 0;
  }
  // ClearAll discarded the text meanwhile, or the host moved on to another port.
  if (generacion != m_GeneracionRed || m_TipoPuerto != eTDPWIN) return;
  if (!r.ok) {
    // Nothing is lost: the text stays for the next attempt, and the host hears of the error
    // once. A queue that went away is let go, to be opened again when it is back.
    if (r.error == ERROR_INVALID_PRINTER_NAME && m_hPuerto == r.handle) {
      ClosePrinter(m_hPuerto);
      m_hPuerto = 0;
    }
    EsperarCola();
    bool error = true, impreso = false;
    ActualizarEstadoRed(error, impreso);
    return;
  }
  m_EsperaCola = 0;
  m_ProximoIntentoCola = 0;
  // Only what the spooler accepted leaves the buffer; text queued since stays behind it.
  m_BufferSalida.consume(tamano);
  bool error = false, impreso = true;
  ActualizarEstadoRed(error, impreso);
}

}  // namespace vtl
