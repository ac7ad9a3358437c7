#include "objects/prnport.h"

#include <algorithm>
#include <climits>
#include <limits>

#include "base/cadenas.h"
#include "base/escpos.h"
#include "channels/parallel/canal_paralelo.h"
#include "channels/port_list.h"
#include "channels/port_text.h"
#include "channels/serial/deteccion.h"
#include "channels/serial/formulario.h"
#include "commands/comandos.h"
#include "engine/guard.h"
#include "platform/loop.h"
#include "platform/trace.h"

namespace vtl {

using namespace platform;

namespace {

const char* Si(bool valor) {
  return valor ? "True" : "False";
}

// An event, as the support trace shows it.
void TrazarEvento(const std::string& evento) {
  if (trace::On()) trace::Line("event " + evento);
}

std::int32_t MenosUno(std::int32_t valor, const char* fuente) {
  if (valor == std::numeric_limits<std::int32_t>::min()) throw Error(6, "Overflow", fuente);
  return valor - 1;
}

}  // namespace

std::shared_ptr<clsPrnPort> clsPrnPort::Create() {
  auto port = OwnedByThisThread(new clsPrnPort(Key{}));
  // The send loop holds its owner while a procedure of its runs: a handler may drop the last
  // reference meanwhile.
  EventosPuerto& eventos = *port;
  port->bucle_.reset(new BucleEnvio(eventos, std::weak_ptr<void>(port)));
  // The settings form exists from the start, as it does for every object.
  frmInitComm::Instance();
  port->ControlCajonAbierto(true);
  return port;
}

clsPrnPort::clsPrnPort(Key) {
  for (auto& record : portData_) record = std::make_shared<clsPrnPortData>();
}

clsPrnPort::~clsPrnPort() {
  // The loop goes first: no tick can run against a half-destroyed object, and the channel lets
  // its device go.
  bucle_.reset();
}

void clsPrnPort::Advise(__clsPrnPort* sink) {
  if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end()) {
    sinks_.push_back(sink);
  }
}

void clsPrnPort::Unadvise(__clsPrnPort* sink) {
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

// ---- Events ----

void clsPrnPort::DatosImpresos(std::int32_t& contador) {
  TrazarEvento("DatosImpresos(" + std::to_string(contador) + ")");
  Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
}
void clsPrnPort::NuevoEstado(bool& error, bool& sinPapel) {
  TrazarEvento(std::string("NuevoEstado(tmpError=") + Si(error) + ", tmpSinPapel=" + Si(sinPapel) +
               ")");
  Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
}
void clsPrnPort::LogoGrabado(std::int32_t& contador) {
  TrazarEvento("LogoGrabado(" + std::to_string(contador) + ")");
  Raise([&](__clsPrnPort& s) { s.LogoGrabado(contador); });
}
void clsPrnPort::Uploading(std::int32_t& quedan, std::int32_t& total) {
  TrazarEvento("Uploading(" + std::to_string(quedan) + ", " + std::to_string(total) + ")");
  Raise([&](__clsPrnPort& s) { s.Uploading(quedan, total); });
}
void clsPrnPort::EstadoCajon(bool& abierto) {
  TrazarEvento(std::string("EstadoCajon(") + Si(abierto) + ")");
  // The event hands over the public variable itself: a handler that assigns to it changes it.
  CajonAbierto = abierto;
  Raise([&](__clsPrnPort& s) { s.EstadoCajon(CajonAbierto); });
}
void clsPrnPort::EstadoOnLine(bool& enLinea) {
  TrazarEvento(std::string("EstadoOnLlineOffLine(") + Si(enLinea) + ")");
  OnLine = enLinea;
  Raise([&](__clsPrnPort& s) { s.EstadoOnLlineOffLine(OnLine); });
}

// ---- Printing ----

std::int32_t clsPrnPort::Imprimir(const std::string& tmpDatos, bool tmpComandoPuro) {
  const std::int32_t trabajo = bucle_->Imprimir(tmpDatos, tmpComandoPuro);
  if (trace::On()) {
    trace::Line("Imprimir: " + std::to_string(tmpDatos.size()) + " bytes" +
                (tmpComandoPuro ? " (a command)" : "") +
                (trabajo ? ", job " + std::to_string(trabajo) : ", held while a logo uploads"));
  }
  return trabajo;
}

void clsPrnPort::ImprimeComando(const std::string&) {}

void clsPrnPort::CheckError(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  auto self = shared_from_this();
  const Condicion c = bucle_->Consultar();
  tmpBusy = c.ocupado;
  tmpError = c.error;
  tmpSinPapel = c.sinPapel;
}

void clsPrnPort::ClearAll() {
  auto self = shared_from_this();
  if (trace::On()) trace::Line("ClearAll");
  bucle_->ClearAll();
}

void clsPrnPort::EndDocForzar() {
  auto self = shared_from_this();
  bucle_->Tick();
}

void clsPrnPort::LoopPruebas() {
  auto self = shared_from_this();
  Raise([](__clsPrnPort& s) { s.LoopPruebas(); });
}

std::int32_t clsPrnPort::CutPaper(std::int32_t&) {
  // Through the ordinary queue, so the cut comes after everything printed before it.
  Imprimir(std::string(escpos::kCortar), false);
  return 0;
}

std::int32_t clsPrnPort::BeginInsertion(std::int32_t&) {
  return 0;
}
std::int32_t clsPrnPort::BeginRemoval(std::int32_t&) {
  return 0;
}
// Logos are stored with UploadLogo; the file named here is never opened.
void clsPrnPort::SetBitmap(std::int32_t&, std::int32_t&, std::string&, std::int32_t&,
                           std::int32_t&) {}
void clsPrnPort::EndInsertion() {}
void clsPrnPort::EndRemoval() {}

void clsPrnPort::UploadLogo(const std::vector<std::string>& tmpLogos,
                            const std::vector<std::string>& tmpNombres, bool tmpLento) {
  auto self = shared_from_this();
  if (bucle_->Cargando() || tmpLogos.empty()) return;
  std::vector<std::string> rutas = tmpLogos;
  std::string flujo;
  // A stream that cannot be built sends nothing and changes nothing.
  if (!ConstruirFlujoLogos(rutas, flujo)) return;
  std::vector<std::string> nombres(tmpLogos.size());
  for (std::size_t i = 0; i < tmpLogos.size() && i < tmpNombres.size(); ++i) {
    nombres[i] = tmpNombres[i];
  }
  bucle_->IniciarCarga(flujo, std::move(nombres), tmpLento);
}

bool clsPrnPort::gfSys_ShellAndWaitFor(const std::string& Command,
                                       const std::string& tmpCommandLine) {
  auto self = shared_from_this();
  return EjecutarYEsperar(Command, tmpCommandLine);
}

// ---- Opening and closing ----

void clsPrnPort::InicializarSerie(std::int32_t tmpPuertoBase1, std::int32_t tmpVelocidad,
                                  bool tmpSinCallBack, bool tmpChkSpeed) {
  auto self = shared_from_this();
  std::int32_t propiedades = tmpChkSpeed ? ePDAAutoSpeed : 0;
  if (tmpSinCallBack) propiedades += ePDAImpresorasinCallback;
  const std::int32_t indice = MenosUno(tmpPuertoBase1, "vtldllxt.clsPrnPort.InicializarSerie");
  if (tmpVelocidad != -1) bucle_->ajustes().baudios = tmpVelocidad;
  AbrirPuerto(eTDPCOM, std::to_string(indice), propiedades);
  ControlCajonAbierto(true);
}

void clsPrnPort::InicializarParalelo(std::int32_t tmpPuertoBase1) {
  auto self = shared_from_this();
  const std::int32_t indice = MenosUno(tmpPuertoBase1, "vtldllxt.clsPrnPort.InicializarParalelo");
  AbrirPuerto(eTDPLPT, std::to_string(indice), 0);
}

void clsPrnPort::InicializarRed(const std::string& tmpIP, std::int32_t tmpPuerto) {
  auto self = shared_from_this();
  if (MayusculasIguales(tmpIP.substr(0, 3), "COM")) return;
  AbrirPuerto(eTDPLAN, tmpIP + ":" + std::to_string(tmpPuerto), ePDAImpresoraTermica);
}

void clsPrnPort::InicializarWindows(const std::string& tmpNombre) {
  auto self = shared_from_this();
  AbrirPuerto(eTDPWIN, tmpNombre, 0);
}

void clsPrnPort::AbrirPuerto(eTiposDepuerto tipo, const std::string& puerto,
                             std::int32_t propiedades) {
  BucleEnvio& bucle = *bucle_;
  Ajustes& ajustes = bucle.ajustes();
  // The tick runs from the opening on, also when a handler of the first status throws.
  ScopeExit arrancar([&] { bucle.ArrancarTick(); });
  if (propiedades & ePDAImpresorasinCallback) {
    ajustes.reaperturaPermitida = false;
    ajustes.alwaysOnLine = true;
  }
  std::int32_t indice = 0;
  if (tipo == eTDPLPT || tipo == eTDPCOM) {
    // The text comes from a Long, so it always fits.
    indice = NumeroDePuerto(puerto);
    if (tipo == eTDPLPT) {
      RegistrosParalelo registros{};
      for (std::size_t i = 0; i < portData_.size(); ++i) registros[i] = portData_[i].get();
      DetectorParalelo().DetectarPuertosParalelo(registros);
    }
  } else {
    ajustes.propiedades = 0;
  }
  tipo_ = tipo;
  if (indice < 0) indice = 0;
  if (tipo == eTDPLPT && indice > 3) indice = 0;
  if (trace::On()) {
    static const char* const kTipos[] = {"parallel port LPT", "serial port COM", "network printer ",
                                         "spooler queue "};
    const bool numerado = tipo == eTDPLPT || tipo == eTDPCOM;
    trace::Line(std::string("port opens: ") + kTipos[tipo] +
                (numerado ? std::to_string(indice + 1) : puerto) +
                (tipo == eTDPCOM ? " at " + std::to_string(ajustes.baudios) + " baud" : ""));
  }
  // The port before goes; the new one reports its first state, whatever the one before said.
  bucle.Cerrar();

  if (tipo == eTDPLAN) {
    // "host:" names no port: the port is then 0.
    std::string host;
    std::int32_t numero = 0;
    SepararHostPuerto(puerto, host, numero);
    bucle.Usar(std::make_shared<CanalRed>(bucle, host, numero, memoriaRed_));
    return;
  }
  if (tipo == eTDPWIN) {
    // The queue opens on a worker: the host's call returns at once, and the tick reports what
    // the spooler answered.
    auto canal = std::make_shared<CanalCola>(bucle, puerto, memoriaCola_, DocName);
    bucle.Usar(canal);
    canal->Abrir();
    return;
  }
  const std::string nombre = std::string("\\\\.\\") + (tipo == eTDPLPT ? "LPT" : "COM") +
                             std::to_string(static_cast<std::int64_t>(indice) + 1);
  ajustes.propiedades = propiedades;
  std::shared_ptr<CanalDispositivo> canal;
  if (tipo == eTDPLPT) {
    // A port detection did not find has no registers to poll: the address of a port opened
    // before would report that port's printer instead.
    const clsPrnPortData& registro = *portData_[static_cast<std::size_t>(indice)];
    const std::int16_t base = registro.Enabled == -1 ? registro.Address : std::int16_t{0};
    canal = std::make_shared<CanalParalelo>(bucle, nombre, indice, base);
  } else {
    canal = std::make_shared<CanalSerie>(bucle, nombre, indice, memoriaSerie_);
  }
  bucle.Usar(canal);
  if (propiedades & ePDAAutoSpeed) {
    const std::int32_t flujo = ajustes.controlDeFlujo;
    const std::int32_t velocidadPedida = ajustes.baudios;
    ajustes.controlDeFlujo = eHSKNone;
    // A printer that answers at no speed keeps the speed the host asked for, rather than
    // opening at 0.
    if (CheckAutoSpeed(nombre, 4) == 0) ajustes.baudios = velocidadPedida;
    ajustes.controlDeFlujo = flujo;
  }
  canal->Abrir();
}

void clsPrnPort::CloseAll() {
  if (trace::On()) trace::Line("CloseAll");
  bucle_->Cerrar();
}

void clsPrnPort::ControlCajonAbierto(bool value) {
  auto canal = bucle_->canal();
  const HANDLE h = canal ? canal->Handle() : 0;
  if (h == 0 || value == controlCajonAbierto_) return;
  controlCajonAbierto_ = value;
  if (value) {
    CommSetLine(3, true);
    CommSetLine(2, true);
  }
}

std::int32_t clsPrnPort::CommSetLine(std::int16_t intLine, bool blnState) {
  auto canal = bucle_->canal();
  EscapeCommFunction(canal ? canal->Handle() : 0, CodigoDeLinea(intLine, blnState));
  return 0;
}

std::uint32_t clsPrnPort::UltimoErrorApertura() const {
  auto dispositivo = std::dynamic_pointer_cast<CanalDispositivo>(bucle_->canal());
  return dispositivo ? dispositivo->UltimoErrorApertura() : 0;
}

// ---- Speed detection ----

template <typename F>
auto clsPrnPort::Detectar(F&& deteccion) {
  auto self = shared_from_this();
  BucleEnvio& bucle = *bucle_;
  // While a detection runs the line belongs to it alone: the object's own tick would otherwise
  // read the printer's answers, write queued text at a trial speed and reopen the port between
  // speeds.
  bucle.Detectando(true);
  ScopeExit fin([&] { bucle.Detectando(false); });
  DeteccionVelocidad deteccion2(bucle.ajustes(), [&] { bucle.Cerrar(); });
  return deteccion(deteccion2);
}

std::int32_t clsPrnPort::CheckAutoSpeed(const std::string& tmpPuertoSerie,
                                        std::int32_t tmpSoloCheckearlasPrimeras) {
  if (bucle_->Detectando()) return 0;
  return Detectar([&](DeteccionVelocidad& d) {
    return d.CheckAutoSpeed(tmpPuertoSerie, tmpSoloCheckearlasPrimeras);
  });
}

void clsPrnPort::CheckAutospeedAndHandshake(const std::string& tmpPuerto, std::int32_t& tmpSpeed,
                                            std::int32_t& tmpHandshake) {
  if (bucle_->Detectando()) return;
  const bool hallado = Detectar([&](DeteccionVelocidad& d) {
    return d.CheckAutospeedAndHandshake(tmpPuerto, tmpSpeed, tmpHandshake);
  });
  // No mode worked: nothing of a job is in flight on the closed port any more.
  if (!hallado) {
    if (auto d = std::dynamic_pointer_cast<CanalDispositivo>(bucle_->canal())) d->Vaciar(false);
  }
}

void clsPrnPort::EnviarPruebasDeVelocidad(const std::string& tmpPuertoSerie) {
  if (bucle_->Detectando()) return;
  Detectar([&](DeteccionVelocidad& d) {
    d.EnviarPruebasDeVelocidad(tmpPuertoSerie);
    return 0;
  });
}

// ---- Parallel ports ----

std::shared_ptr<clsPrnPortData> clsPrnPort::PortData(std::int32_t tmpIndex) const {
  if (tmpIndex >= 0 && tmpIndex <= 3) return portData_[static_cast<std::size_t>(tmpIndex)];
  return portData_[0];
}

void clsPrnPort::ListaDePuertosExistentes(std::vector<std::int32_t>& tmpArrPuertosSerie,
                                          std::vector<std::int32_t>& tmpArrPuertosParalelo) {
  vtl::ListaDePuertosExistentes(tmpArrPuertosSerie, tmpArrPuertosParalelo);
}

}  // namespace vtl
