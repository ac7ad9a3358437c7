// Logo upload on the printer port: the stream goes out through the ordinary queue, paced, with
// other text held back until it has gone.
#include "commands/logo_upload.h"

#include <algorithm>
#include <climits>

#include "engine/prnport.h"

namespace vtl::modLogoUpload {

Variant ConvertirLogos(clsPrnPort& puerto, std::vector<std::string>& rutas) {
  std::string flujo;
  if (!ConstruirFlujo(rutas, flujo)) return Variant::Boolean(false);
  if (rutas.empty()) return Variant::Boolean(true);
  puerto.ClearAll();
  puerto.Imprimir(flujo, true);
  return Variant::Boolean(true);
}

}  // namespace vtl::modLogoUpload

namespace vtl {

void clsPrnPort::UploadLogo(const std::vector<std::string>& tmpLogos,
                            const std::vector<std::string>& tmpNombres, bool tmpLento) {
  auto self = shared_from_this();
  if (m_Uploading) return;
  if (tmpLogos.empty()) return;
  m_LogoCount = static_cast<std::int32_t>(std::min<std::size_t>(tmpLogos.size(), INT32_MAX));
  m_LogoNames.assign(tmpLogos.size(), std::string());
  for (std::size_t i = 0; i < tmpLogos.size() && i < tmpNombres.size(); ++i) {
    m_LogoNames[i] = tmpNombres[i];
  }
  std::vector<std::string> rutas = tmpLogos;

  m_Estado = 0;
  m_AlwaysOnLineGuardado = m_AlwaysOnLine;
  m_RafagaGuardada = m_Rafaga;
  m_PropiedadesGuardadas = m_PortPropiedadesAdicionales;
  m_UploadLento = tmpLento;
  m_UploadBytesEnviados = 0;
  // The stream goes out unconditionally and at once; the printer's status replies would only
  // interrupt it.
  AlwaysOnLine(true);
  Rafaga(true);
  m_BufferSalida.clear();

  if (modLogoUpload::ConvertirLogos(*this, rutas).ToBoolean()) {
    m_TamanoCarga = static_cast<std::int32_t>(m_ColaEntrada.size());
    // The upload is under way before the host hears of it: a handler that clears everything
    // ends it, and text a handler prints waits for it.
    m_Uploading = true;
    std::int32_t quedan = m_UploadBytesEnviados;
    Raise([&](__clsPrnPort& s) { s.Uploading(quedan, m_UploadBytesEnviados); });
  } else {
    // Nothing was sent: the host's settings come back as they were.
    RestaurarTrasCarga();
  }
}

void clsPrnPort::RestaurarTrasCarga() {
  AlwaysOnLine(m_AlwaysOnLineGuardado);
  Rafaga(m_RafagaGuardada);
  // The forced always-on-line state marked the printer as one without status replies; that
  // mark belongs to the upload, not to the printer.
  m_PortPropiedadesAdicionales = m_PropiedadesGuardadas;
}

}  // namespace vtl
