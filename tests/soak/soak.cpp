// The soak run: four host threads, each printing job after job through a network, a serial, a
// spooler and a parallel port against the virtual printer, while faults strike at random (paper
// out, a hung-up line, a reset connection, a printer that stops answering, the spooler going
// away, a parallel printer switched off). At the end
// every job's text must have reached its printer, and descriptors and resident memory must not
// have grown. Prints one summary line; exits 1 when anything was lost.
//
//   vtl_soak [minutes] [jobs]      defaults: 20 minutes and at least 10,000 jobs
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cups_fixture.h"
#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "parallel_fixture.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "serial_pty.h"

using namespace vtl;
using namespace vtl::testing;
using platform::Loop;
using Clock = std::chrono::steady_clock;

namespace {

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

long ResidentKb() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Totals {
  std::atomic<long> jobs{0}, faults{0}, lost{0}, late{0};
};

struct Job {
  std::string text;
  int kind;  // 0 network, 1 serial, 2 spooler, 3 parallel
};

// One host thread: its own printers and ports, job after job, faults now and then.
void Host(int n, const std::string& link, Clock::time_point end, long jobsWanted, Totals& t,
          Collector& spooled, std::mutex& spooledMutex, std::vector<std::string>& spooledTexts) {
  Loop& loop = Loop::Current();
  std::mt19937 random(static_cast<unsigned>(n * 7919 + 17));
  LoopbackPrinter lan;
  auto serial = std::make_unique<PtyPrinter>();
  std::filesystem::create_symlink(serial->pty().Slave(), link + ".new");
  std::filesystem::rename(link + ".new", link);
  FifoPrinter lpt;
  std::filesystem::create_symlink(lpt.Path(), link + "-lpt");
  std::vector<Job> jobs;
  std::shared_ptr<clsPrnPort> ports[4];
  Recorder events[4];
  for (int k = 0; k < 4; ++k) {
    ports[k] = clsPrnPort::Create();
    ports[k]->Advise(&events[k]);
  }
  ports[0]->InicializarRed("127.0.0.1", lan.Port());
  ports[1]->InicializarSerie(30 + n, 9600);
  ports[2]->InicializarWindows("soak_queue");
  ports[3]->InicializarParalelo(n + 1);
  long mine = 0;
  std::size_t parallelSent = 0;
  while (Clock::now() < end || t.jobs.load() < jobsWanted) {
    const int kind = static_cast<int>(mine % 4);
    const std::string text = "SOAK T" + std::to_string(n) + " J" + std::to_string(mine);
    ++mine;
    // Now and then a fault strikes the port about to print, and clears a little later.
    const bool fault = random() % 40 == 0 && kind != 2;
    const int what = static_cast<int>(random() % 4);
    if (fault) {
      ++t.faults;
      if (kind == 1 && what % 2 == 1) {
        // The line hangs up between jobs (a pseudo-terminal drops what its other end has not
        // read yet, so mid-job it would lose bytes no library can know of); another printer
        // answers to the port's name.
        serial->HangUp();
        serial->Replace();
        std::filesystem::create_symlink(serial->pty().Slave(), link + ".new");
        std::filesystem::rename(link + ".new", link);
      }
      if (kind == 3) {
        // The parallel printer is switched off between jobs, once it has read what came before
        // (a pipe drops what nobody read when its last reader goes).
        loop.RunUntil([&] { return lpt.Received().size() >= parallelSent; }, 10'000);
        lpt.PowerOff();
      }
    }
    const std::int32_t id = ports[kind]->Imprimir(text + "\n");
    if (kind == 3) parallelSent += text.size() + 2;
    jobs.push_back({text, kind});
    if (kind == 2) {
      std::lock_guard lock(spooledMutex);
      spooledTexts.push_back(text);
    }
    if (fault) {
      if (kind == 0) {
        if (what == 0) lan.status = std::string(1, '\x32');  // paper out
        if (what == 1) lan.CloseConnection();
        if (what == 2) lan.ResetConnection();
        if (what == 3) lan.status.clear();  // stops answering
      } else if (kind == 1 && what % 2 == 0) {
        serial->Change([](printersim::Printer& p) { p.SetPaper(printersim::Paper::kOut); });
      }
      loop.RunUntil([] { return false; }, 300 + static_cast<int>(random() % 700));
      lpt.PowerOn();
      lan.status = std::string(1, '\x12');
      serial->Change([](printersim::Printer& p) { p.SetPaper(printersim::Paper::kOk); });
    }
    const std::string want = "DatosImpresos(" + std::to_string(id) + ")";
    if (!loop.RunUntil([&] { return events[kind].Count(want) > 0; }, 120'000)) ++t.late;
    if (events[kind].log.size() > 64) events[kind].log.clear();
    ++t.jobs;
  }
  for (auto& p : ports) p.reset();
  loop.RunUntil([] { return false; }, 500);
  // Every job's text reached its printer at least once.
  const std::string net = lan.Text();
  const std::string ser = serial->Received();
  const std::string par = lpt.Received();
  for (const Job& j : jobs) {
    if (j.kind == 2) continue;
    const std::string& got = j.kind == 0 ? net : j.kind == 1 ? ser : par;
    if (got.find(j.text + "\r\n") == std::string::npos) ++t.lost;
  }
  (void)spooled;
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 20.0;
  const long jobsWanted = argc > 2 ? std::atol(argv[2]) : 10'000;
  setenv("VTL_NO_SYSTEM_PORTS", "1", 1);
  setenv("VTL_PORTIO", "none", 1);
  Collector spooled;
  PrivateCups cups("soak_queue", spooled.Port());
  if (!cups.Ready()) {
    std::fprintf(stderr, "soak: the private CUPS server did not start\n");
    return 2;
  }
  char tmpl[] = "/tmp/vtl-soak-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  const std::string dir = tmpl;
  std::vector<std::string> links;
  for (int i = 0; i < 4; ++i) {
    links.push_back(dir + "/com" + std::to_string(i));
    setenv(("VTL_COM" + std::to_string(30 + i)).c_str(), links.back().c_str(), 1);
    setenv(("VTL_LPT" + std::to_string(1 + i)).c_str(), (links.back() + "-lpt").c_str(), 1);
  }
  // Warm up first, so that what the first jobs allocate for good does not count as growth.
  Totals t;
  std::mutex spooledMutex;
  std::vector<std::string> spooledTexts;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::ratio<60>>(minutes));
  const std::size_t fdStart = OpenDescriptors();
  const long rssStart = ResidentKb();
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      Host(i, links[static_cast<std::size_t>(i)], end, jobsWanted, t, spooled, spooledMutex,
           spooledTexts);
    });
  }
  // The spooler goes away now and then, for a few seconds, under every thread at once.
  std::atomic<bool> done{false};
  std::thread spoolerFaults([&] {
    std::mt19937 random(4242);
    while (!done) {
      for (int s = 0; s < 120 + static_cast<int>(random() % 120) && !done; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
      if (done) break;
      ++t.faults;
      cups.Stop();
      std::this_thread::sleep_for(std::chrono::seconds(3));
      cups.Start();
    }
  });
  for (auto& th : threads) th.join();
  done = true;
  spoolerFaults.join();
  // Documents CUPS accepted reach the collector a little later.
  spooled.WaitFor(spooledTexts.size(), 120);
  std::string all;
  for (const auto& job : spooled.Jobs()) all += job;
  long lostSpooled = 0;
  for (const auto& text : spooledTexts) {
    if (all.find(text + "\r\n") == std::string::npos) ++lostSpooled;
  }
  const std::size_t fdEnd = OpenDescriptors();
  const long rssEnd = ResidentKb();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count() / 60.0;
  std::filesystem::remove_all(dir);
  const long lost = t.lost + lostSpooled;
  std::printf(
      "soak: %ld jobs, %ld faults, 4 threads x 4 ports, %.1f minutes; lost %ld, not reported "
      "within 2 minutes %ld; descriptors %zu -> %zu; resident %ld KB -> %ld KB\n",
      t.jobs.load(), t.faults.load(), elapsed, lost, t.late.load(), fdStart, fdEnd, rssStart,
      rssEnd);
  const bool grew = fdEnd > fdStart + 8 || rssEnd > rssStart * 2 + 16'384;
  return lost == 0 && t.late == 0 && !grew ? 0 : 1;
}
