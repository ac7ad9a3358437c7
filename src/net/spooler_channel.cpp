// Printing through a queue of the system's spooler: everything queued when a tick comes round
// goes out as one raw document.
#include "engine/prnport.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

void clsPrnPort::PasoWindows() {
  auto self = shared_from_this();
  // A host handler of the events raised here may clear, close or reopen the port: the step goes
  // on only while the port is still the one it started with.
  const std::uint64_t generacion = m_GeneracionRed;
  auto vigente = [&] { return m_TipoPuerto == eTDPWIN && m_GeneracionRed == generacion; };
  if (!m_PrimerPasoWindows) {
    m_PrimerPasoWindows = true;
    // The first tick tells the host the queue's state: free of errors, or, for a queue that
    // could not be opened, the error at once rather than only when text waits.
    bool error = !IsPrinterHandle(m_hPuerto), impreso = false;
    m_Estado = error ? (m_Estado & ~2) : (m_Estado | 2);
    ActualizarEstadoRed(error, impreso);
    if (!vigente()) return;
  }
  if (!m_ColaEntrada.empty()) {
    m_BufferSalida.append(m_ColaEntrada, m_MarcasCola.Take(m_ColaEntrada));
    m_ColaEntrada.clear();
  }
  if (m_BufferSalida.empty()) {
    // An open queue with nothing waiting has no error to report (ClearAll may have left one
    // behind with the text it discarded).
    if ((m_Estado & 2) && IsPrinterHandle(m_hPuerto)) {
      bool error = false, impreso = false;
      ActualizarEstadoRed(error, impreso);
    }
    return;
  }
  if (!IsPrinterHandle(m_hPuerto)) AbrirDispositivo();
  const std::string documento = m_BufferSalida.str();
  if (m_Uploading && m_UploadBytesEnviados == 0) {
    m_UploadBytesEnviados = static_cast<std::int32_t>(documento.size());
  }
  // Nothing is raised between taking the document and removing it: only what the spooler
  // accepted leaves the buffer.
  if (!ImprimirDocumentoWindows(documento)) return;
  m_BufferSalida.consume(documento.size());
  bool error = false, impreso = true;
  ActualizarEstadoRed(error, impreso);
}

bool clsPrnPort::ImprimirDocumentoWindows(const std::string& tmpTexto) {
  std::string nombre = "VTL:";
  if (!DocName.empty()) {
    nombre += DocName;
  } else {
    ++m_DocumentosWindows;
    nombre += std::to_string(m_hPuerto) + "(" + std::to_string(m_DocumentosWindows) + ")";
  }
  // The document carries the text as given, plus the closing zero byte the spooler expects.
  std::string bytes = tmpTexto;
  bytes.push_back('\0');
  DOC_INFO_1A info{nombre.c_str(), nullptr, nullptr};
  bool ok = StartDocPrinterA(m_hPuerto, 1, &info) != 0;
  if (ok) {
    DWORD escritos = 0;
    ok = StartPagePrinter(m_hPuerto) == TRUE &&
         WritePrinter(m_hPuerto, bytes.data(), static_cast<DWORD>(bytes.size()), &escritos) ==
             TRUE &&
         EndPagePrinter(m_hPuerto) == TRUE;
    ok = EndDocPrinter(m_hPuerto) == TRUE && ok;
  }
  if (!ok) {
    // Nothing is lost: the text stays queued for the next tick, and the host hears of the
    // error once. A queue that went away is let go, to be opened again when it is back.
    if (GetLastError() == ERROR_INVALID_PRINTER_NAME && IsPrinterHandle(m_hPuerto)) {
      ClosePrinter(m_hPuerto);
      m_hPuerto = 0;
    }
    bool error = true, impreso = false;
    ActualizarEstadoRed(error, impreso);
  }
  return ok;
}

}  // namespace vtl
