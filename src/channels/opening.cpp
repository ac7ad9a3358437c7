// Choosing, opening and closing the port of a printer port object.
#include <limits>

#include "channels/port_text.h"
#include "commands/frm_init_comm.h"
#include "engine/guard.h"
#include "engine/prnport.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

namespace {

std::int32_t MenosUno(std::int32_t valor, const char* fuente) {
  if (valor == std::numeric_limits<std::int32_t>::min()) throw Error(6, "Overflow", fuente);
  return valor - 1;
}

std::int32_t ComoLong(const Variant& v) {
  if (auto p = std::get_if<std::int32_t>(&v.Raw())) return *p;
  return 0;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

Variant clsPrnPort::InicializarSerie(std::int32_t tmpPuertoBase1, std::int32_t tmpVelocidad,
                                     bool tmpSinCallBack, bool tmpChkSpeed) {
  auto self = shared_from_this();
  std::int32_t propiedades = tmpChkSpeed ? ePDAAutoSpeed : 0;
  if (tmpSinCallBack) propiedades += ePDAImpresorasinCallback;
  const std::int32_t indice = MenosUno(tmpPuertoBase1, "vtldllxt.clsPrnPort.InicializarSerie");
  if (tmpVelocidad != -1) m_Baudios = tmpVelocidad;
  AbrirPuerto(eTDPCOM, std::to_string(indice), propiedades);
  ControlCajonAbierto(true);
  return {};
}

Variant clsPrnPort::InicializarParalelo(std::int32_t tmpPuertoBase1) {
  auto self = shared_from_this();
  const std::int32_t indice = MenosUno(tmpPuertoBase1, "vtldllxt.clsPrnPort.InicializarParalelo");
  AbrirPuerto(eTDPLPT, std::to_string(indice), 0);
  return {};
}

Variant clsPrnPort::InicializarRed(const std::string& tmpIP, std::int32_t tmpPuerto) {
  auto self = shared_from_this();
  if (Upper(tmpIP.substr(0, 3)) != "COM") {
    AbrirPuerto(eTDPLAN, tmpIP + ":" + std::to_string(tmpPuerto), ePDAImpresoraTermica);
  }
  return {};
}

Variant clsPrnPort::InicializarWindows(const std::string& tmpNombre) {
  auto self = shared_from_this();
  AbrirPuerto(eTDPWIN, tmpNombre, 0);
  return {};
}

bool clsPrnPort::AbrirPuerto(std::int32_t tipo, const std::string& puerto,
                             std::int32_t propiedades) {
  // The tick runs from the opening on, also when a handler of the first status throws.
  ScopeExit arrancar([&] { m_TmrCheckData->Interval(m_IntervaloTimer); });
  ReiniciarRed();
  ++m_Generacion;
  m_EsperandoRespuesta = true;
  // A new port starts with a clean slate: nothing it has not said yet counts against it.
  m_FalloEscritura = false;
  m_LectorEstado.Olvidar();
  m_EsperaReapertura = 0;
  m_ProximaReapertura = 0;
  if (propiedades & ePDAImpresorasinCallback) {
    m_ReaperturaPermitida = false;
    m_AlwaysOnLine = true;
  }
  std::int32_t indice = 0;
  if (tipo == eTDPLPT || tipo == eTDPCOM) {
    // The text comes from a Long, so it always fits.
    indice = ComoLong(NumeroDePuerto(puerto));
    if (tipo == eTDPLPT) DetectarPuertosParalelo();
  } else {
    m_PortPropiedadesAdicionales = 0;
  }
  m_TipoPuerto = tipo;
  if (indice < 0) indice = 0;
  if (tipo == eTDPLPT && indice > 3) indice = 0;

  CloseAll();
  // Every opening reports its first state, whatever the port before it said.
  m_EstadoNotificado = false;

  if (tipo == eTDPLPT) {
    const auto& registro = m_PortData[static_cast<std::size_t>(indice)];
    // A port detection did not find has no registers to poll: keeping the address of a port
    // opened before would report that port's printer instead.
    m_DireccionBase = registro->Enabled == -1 ? registro->Address : std::int16_t{0};
    m_NumeroPuerto = indice;
    m_NombrePuerto = "LPT" + std::to_string(static_cast<std::int64_t>(indice) + 1);
  } else if (tipo == eTDPCOM) {
    m_NumeroPuerto = indice;
    m_DireccionBase = 0;
    m_NombrePuerto = "COM" + std::to_string(static_cast<std::int64_t>(indice) + 1);
  } else if (tipo == eTDPLAN) {
    m_DireccionBase = 0;
    // "host:" names no port: the port is then 0.
    std::int32_t numero = 0;
    SepararHostPuerto(puerto, m_NombrePuerto, numero);
    m_NumeroPuerto = numero;
  }

  bool resultado = true;
  if (tipo == eTDPLPT || tipo == eTDPCOM) {
    m_NombrePuerto = "\\\\.\\" + m_NombrePuerto;
    m_PortPropiedadesAdicionales = propiedades;
    if (propiedades & ePDAAutoSpeed) {
      const std::int32_t flujo = m_ControlDeFlujo;
      const std::int32_t velocidadPedida = m_Baudios;
      m_ControlDeFlujo = eHSKNone;
      // A printer that answers at no speed keeps the speed the host asked for, rather than
      // opening at 0.
      if (CheckAutoSpeed(m_NombrePuerto, 4) == 0) m_Baudios = velocidadPedida;
      m_ControlDeFlujo = flujo;
    }
    m_PuertoCerrado = false;
    AbrirEInicializar();
    AbrirDispositivo();
    if (!PuertoAbierto()) m_Estado |= 2;
    bool ocupado = false, error = false, sinPapel = false;
    ObtenerEstado(ocupado, error, sinPapel);
    resultado = m_hPuerto > 0;
  }
  m_PuertoCerrado = false;
  if (tipo == eTDPWIN) {
    // The queue opens on a worker: the host's call returns at once, and the tick reports what
    // the spooler answered.
    m_NombrePuerto = puerto;
    m_EsperaCola = 0;
    m_ProximoIntentoCola = 0;
    AbrirColaEnSegundoPlano();
  }
  return resultado;
}

std::string clsPrnPort::ComandoInicializar() {
  return std::string{'\x1b', '@'};
}

void clsPrnPort::AbrirEInicializar() {
  AbrirDispositivo();
  if (PuertoAbierto()) {
    static const std::string comando = ComandoInicializar();
    DWORD escritos = 0;
    WriteFile(m_hPuerto, comando.data(), static_cast<DWORD>(comando.size()), &escritos,
              &m_OvlComando);
  } else {
    m_Estado |= 2;
  }
}

void clsPrnPort::AbrirDispositivo() {
  // A network printer is reached through its connection, never as a file named after its host.
  if (m_TipoPuerto == eTDPLAN) return;
  const DWORD flags = m_Asincrono ? FILE_FLAG_OVERLAPPED : 0;
  if (m_TipoPuerto == eTDPWIN) {
    // A queue is reopened through the spooler: opening its name as a file would reach whatever
    // file or device happened to carry that name, and would leak the queue handle.
    if (!PuertoAbierto()) AbrirColaEnSegundoPlano();
    return;
  }
  if (m_hPuerto > 0) return;
  if (m_TipoPuerto == eTDPCOM) {
    std::string numero;
    const std::string nombre = m_NombrePuerto;
    for (std::size_t i = 0; i < nombre.size(); ++i) {
      if (i + 3 <= nombre.size() && Upper(nombre.substr(i, 3)) == "COM") {
        i += 2;
        continue;
      }
      const char c = nombre[i];
      if (c != '\\' && c != '/' && c != '.') numero += c;
    }
    // The name was built from a Long, so its number fits; anything else counts as port 0.
    std::int32_t puerto = 0;
    try {
      puerto = ComoLong(NumeroDePuerto(numero));
    } catch (const Error&) {
    }
    bool abierto = false;
    std::int32_t velocidad = m_Baudios;
    AjustarLineaSerie(puerto, velocidad, abierto);
  }
  std::string desnudo = m_NombrePuerto;
  for (const char* prefijo : {"\\\\.\\", "//./"}) {
    for (std::size_t p; (p = desnudo.find(prefijo)) != std::string::npos;) desnudo.erase(p, 4);
  }
  m_hPuerto = CreateFileA(m_NombrePuerto.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, flags, 0);
  if (m_hPuerto == 0 || m_hPuerto == INVALID_HANDLE_VALUE) {
    m_hPuerto = CreateFileA(desnudo.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, flags, 0);
  }
  m_UltimoErrorApertura = m_hPuerto == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (m_hPuerto != INVALID_HANDLE_VALUE) {
    m_EventoSerieArmado = false;
    // Whether the printer is there shows on the line from now on, not from before.
    m_PuertoListo = false;
    m_LectorEstado.Olvidar();
    if (m_TipoPuerto == eTDPCOM) {
      ConfigurarSerie(m_hPuerto, m_Baudios);
    } else if (m_TipoPuerto == eTDPLPT) {
      SetEndOfFile(m_hPuerto);
      FijarTimeoutsParalelo();
    }
  }
  if (m_TipoPuerto == eTDPLPT && m_NumeroPuerto == -1 && PuertoAbierto()) {
    const bool reenviar = (m_Estado & (1 | 4)) != 0;
    m_Estado = 0;
    if (reenviar) Enviar(m_UltimoBloqueEnviado);
  }
}

void clsPrnPort::AjustarLineaSerie(std::int32_t& numero, std::int32_t& velocidad, bool& abierto) {
  std::int32_t buffer = 16384;
  bool controlDeFlujo = m_ReaperturaPermitida;
  frmInitComm::Instance().SetCOmmSettings(numero, velocidad, buffer, abierto, controlDeFlujo,
                                          m_ControlDeFlujo);
}

void clsPrnPort::FijarTimeoutsParalelo() {
  GetCommTimeouts(m_hPuerto, &m_Timeouts);
  m_Timeouts.ReadIntervalTimeout = 0;
  m_Timeouts.ReadTotalTimeoutMultiplier = 0;
  m_Timeouts.ReadTotalTimeoutConstant = 0;
  m_Timeouts.WriteTotalTimeoutMultiplier = 0;
  m_Timeouts.WriteTotalTimeoutConstant = 90000;
  SetCommTimeouts(m_hPuerto, &m_Timeouts);
}

}  // namespace vtl
