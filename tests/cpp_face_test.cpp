// The public C++ face (vtldllxt.hpp) driving printer ports as a host would: the virtual printer on
// a pseudo-terminal at the other end, events through std::function, failures as vtl::Error, ports
// opened by device path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial_pty.h"
#include "vtldllxt.hpp"

#if VTL_HAVE_PRINTERSIM_CORE

namespace {

using namespace std::chrono_literals;
using vtl::testing::Pty;
using vtl::testing::PtyPrinter;

// A port name mapped by a test goes back when the test ends: the mapping is the process's.
struct Mapped {
  std::string name;
  ~Mapped() {
    if (!name.empty()) vtl::UnmapPort(name);
  }
};

// What a port's events said, in order.
struct Log {
  std::vector<std::string> lines;
  void Connect(const vtl::PrnPort& port) {
    port.OnNuevoEstado([this](bool error, bool sinPapel) {
      lines.push_back(std::string("NuevoEstado(") + (error ? "1," : "0,") +
                      (sinPapel ? "1)" : "0)"));
    });
    port.OnDatosImpresos([this](std::int32_t job) {
      lines.push_back("DatosImpresos(" + std::to_string(job) + ")");
    });
  }
  bool Has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

bool Until(const std::function<bool()>& cond) {
  return vtl::RunUntil(cond, 20s);
}

// Waits until the port has asked the printer for its automatic status (GS a), as every
// opening of a serial printer does before text goes out.
bool Greeted(PtyPrinter& printer) {
  return Until([&] {
    return printer.Received().find(
               "\x1d"
               "a\x03") != std::string::npos;
  });
}

TEST(CppFace, AReceiptGoesOutAsWindows1252AndComesBackAsEvents) {
  PtyPrinter printer;
  ASSERT_TRUE(printer.pty().Ok());
  vtl::PrnPort port;
  Log log;
  log.Connect(port);

  Mapped mapped{port.InicializarSerie(printer.pty().Slave(), 9600)};
  EXPECT_EQ(vtl::PortDevice(mapped.name), printer.pty().Slave());
  EXPECT_EQ(port.UltimoErrorApertura().number, 0u);
  ASSERT_TRUE(Greeted(printer));

  const std::int32_t text = port.Imprimir(
      "\x1bt\x10"
      "2 x Café con leche   3,20 €\n");
  const std::int32_t cut = port.Imprimir(vtl::Bytes("\x1dVB\x00", 4), true);
  EXPECT_EQ(text, 1);
  EXPECT_EQ(cut, 2);
  ASSERT_TRUE(Until([&] { return log.Has("DatosImpresos(2)"); }));

  // The text in the printer's code page, line end completed; the command byte for byte.
  const std::string& wire = printer.Received();
  EXPECT_NE(wire.find("2 x Caf\xe9 con leche   3,20 \x80\r\n\x1dVB\x00"), std::string::npos);
  EXPECT_NE(printer.Printed().find("2 x Café con leche   3,20 €"), std::string::npos);
  // Ready before anything printed; jobs that left in one burst are reported by the last one.
  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], "NuevoEstado(1,0)");
  EXPECT_EQ(log.lines[1], "NuevoEstado(0,0)");
  EXPECT_EQ(log.lines.back(), "DatosImpresos(2)");
  EXPECT_LE(log.lines.size(), 4u);
}

TEST(CppFace, FailuresAreExceptionsThatChangeNothing) {
  vtl::PrnPort port;
  port.PortPropiedadesAdicionales(5);
  try {
    port.Set("PortPropiedadesAdicionales", std::int64_t{1} << 40);
    FAIL() << "a number wider than a Long was taken";
  } catch (const vtl::Error& e) {
    EXPECT_EQ(e.Number(), 6);
    EXPECT_NE(std::string(e.what()).find("Overflow"), std::string::npos) << e.what();
    EXPECT_FALSE(e.Source().empty());
  }
  EXPECT_EQ(port.PortPropiedadesAdicionales(), 5);

  // A ByRef Integer that overflows leaves the host's variable as it was.
  std::int32_t linea = 70002;
  try {
    port.Call("CommSetLine", vtl::ByRef(linea), false);
    FAIL() << "70002 became an Integer";
  } catch (const vtl::Error& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_EQ(linea, 70002);

  const auto number = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const vtl::Error& e) {
      return e.Number();
    }
    return 0;
  };
  EXPECT_EQ(number([&] { port.Call("Imprimir"); }), 449);  // argument not optional
  EXPECT_EQ(number([&] { port.Call("NoSuchMember"); }), 438);
  const vtl::PrnPort moved = std::move(port);
  EXPECT_EQ(number([&] { (void)port.OutputID(); }), 91);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.PortPropiedadesAdicionales(), 5);
}

TEST(CppFace, APortOpenedByPathSaysWhyItCouldNotOpenAndRecoversByItself) {
  const std::string missing =
      (std::filesystem::temp_directory_path() / "vtl-no-such-dir" / "ttyPRINTER").string();
  vtl::PrnPort port;
  Log log;
  log.Connect(port);
  Mapped mapped{port.InicializarSerie(missing, 9600)};
  EXPECT_EQ(vtl::PortDevice(mapped.name), missing);
  vtl::OpeningError why = port.UltimoErrorApertura();
  EXPECT_EQ(why.number, 2u);
  EXPECT_EQ(why.message, "The system cannot find the file specified.");
  const std::int32_t job = port.Imprimir("waits for the printer\n");
  ASSERT_TRUE(Until([&] { return log.Has("NuevoEstado(1,0)"); }));

  // The printer appears under the same name: the port opens it on its own, and the text queued
  // meanwhile goes out.
  PtyPrinter printer;
  vtl::MapPort(mapped.name, printer.pty().Slave());
  ASSERT_TRUE(Until([&] { return log.Has("DatosImpresos(" + std::to_string(job) + ")"); }));
  EXPECT_NE(printer.Received().find("waits for the printer\r\n"), std::string::npos);
  why = port.UltimoErrorApertura();
  EXPECT_EQ(why.number, 0u);
  EXPECT_EQ(why.message, "");

  // The same device by path again: the same name, and a second port cannot have it.
  vtl::PrnPort other;
  EXPECT_EQ(other.InicializarSerie(printer.pty().Slave(), 9600), mapped.name);
  why = other.UltimoErrorApertura();
  EXPECT_EQ(why.number, 5u);
  EXPECT_EQ(why.message, "Access is denied.");
}

TEST(CppFace, HandlersShareTheObjectMayDropItAndTheirExceptionsReachTheHost) {
  PtyPrinter printer;
  vtl::PrnPort port;
  Mapped mapped{port.InicializarSerie(printer.pty().Slave(), 9600)};
  ASSERT_TRUE(Greeted(printer));

  // A copy is the same object: what one sets the other reads, and a handler connected through
  // the copy keeps working after the copy is gone.
  std::vector<std::int32_t> printed;
  {
    const vtl::PrnPort copy = port;
    copy.DocName("Caja 1");
    copy.OnDatosImpresos([&](std::int32_t job) { printed.push_back(job); });
  }
  EXPECT_EQ(port.DocName(), "Caja 1");

  // A handler that throws: the exception comes out of the host's pumping call, and the events
  // after it still arrive.
  port.On("DatosImpresos", [](vtl::EventArgs& e) {
    if (e.Long(0) == 1) throw std::runtime_error("the host's own failure");
  });
  port.Imprimir("first\n");
  EXPECT_THROW(Until([&] { return printed.size() >= 1; }), std::runtime_error);
  port.Imprimir("second\n");
  ASSERT_TRUE(Until([&] { return printed.size() >= 2; }));
  EXPECT_EQ(printed, (std::vector<std::int32_t>{1, 2}));

  // The handler of the last job drops the last handle of the port, inside the event.
  std::optional<vtl::PrnPort> last(std::move(port));
  bool dropped = false;
  last->OnDatosImpresos([&](std::int32_t job) {
    if (job == 3) {
      last.reset();
      dropped = true;
    }
  });
  last->Imprimir("third\n");
  ASSERT_TRUE(Until([&] { return dropped; }));
  EXPECT_EQ(printed.back(), 3);
  vtl::RunUntil([] { return false; }, 100ms);
  // The port let the device go: someone else may open it now.
  const vtl::PrnPort next;
  EXPECT_EQ(next.InicializarSerie(printer.pty().Slave(), 9600), mapped.name);
  EXPECT_EQ(next.UltimoErrorApertura().number, 0u);
}

}  // namespace

#endif
