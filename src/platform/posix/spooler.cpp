// The spooler on CUPS: one raw job per document, on a connection of its own.
#include "platform/spooler.h"

#include <cups/cups.h>

#include <cstring>

#include "platform/codepage.h"
#include "platform/posix/objects.h"
#include "platform/trace.h"

namespace vtl::platform {
namespace {

constexpr int kConnectMs = 5000;
constexpr double kIoSeconds = 10.0;
constexpr DWORD ERROR_NOT_READY = 21;

struct PrinterObject : detail::Object {
  ~PrinterObject() override { Close(); }
  void Close() {
    if (http) httpClose(http);
    http = nullptr;
    job = 0;
  }
  std::string name;  // UTF-8, as the spooler names it
  http_t* http = nullptr;
  int job = 0;
  bool documentFailed = false;
};

// Gives up on a spooler that stops answering instead of waiting for ever.
int GiveUp(http_t*, void*) {
  return 0;
}

http_t* Connect() {
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              kConnectMs, nullptr);
  if (http) httpSetTimeout(http, kIoSeconds, GiveUp, nullptr);
  return http;
}

// Job titles are UTF-8 text of at most 255 bytes, without control characters.
std::string Title(const char* ansi) {
  std::string utf8 = AnsiToUtf8(ansi ? ansi : "");
  for (char& c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (utf8.size() > 255) {
    std::size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8.empty() ? std::string("?") : utf8;
}

std::shared_ptr<PrinterObject> Printer(HANDLE h) {
  auto p = detail::LookupAs<PrinterObject>(h);
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}

}  // namespace

namespace {

BOOL OpenPrinterUntraced(const char* name, HANDLE* printer) {
  if (printer) *printer = 0;
  if (!name || !*name || !printer) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  http_t* http = Connect();
  if (!http) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  const std::string utf8 = AnsiToUtf8(name);
  cups_dest_t* dest = cupsGetNamedDest(http, utf8.c_str(), nullptr);
  httpClose(http);
  if (!dest) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  cupsFreeDests(1, dest);
  auto p = std::make_shared<PrinterObject>();
  p->name = utf8;
  *printer = detail::Insert(std::move(p));
  return TRUE;
}

}  // namespace

namespace {

DWORD StartDocUntraced(HANDLE printer, DWORD level, const DOC_INFO_1A* info) {
  auto p = Printer(printer);
  if (!p) return 0;
  if (level != 1 || !info || info->pOutputFile ||
      (info->pDatatype && std::strcmp(info->pDatatype, "RAW") != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  p->Close();
  p->documentFailed = false;
  p->http = Connect();
  if (!p->http) {
    SetLastError(ERROR_NOT_READY);
    return 0;
  }
  const std::string title = Title(info->pDocName);
  p->job = cupsCreateJob(p->http, p->name.c_str(), title.c_str(), 0, nullptr);
  if (p->job <= 0 || cupsStartDocument(p->http, p->name.c_str(), p->job, title.c_str(),
                                       CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
    if (p->job > 0) cupsCancelJob2(p->http, p->name.c_str(), p->job, 0);
    p->Close();
    SetLastError(cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND ? ERROR_INVALID_PRINTER_NAME
                                                               : ERROR_GEN_FAILURE);
    return 0;
  }
  return static_cast<DWORD>(p->job);
}

}  // namespace

BOOL StartPagePrinter(HANDLE printer) {
  auto p = Printer(printer);
  if (!p) return FALSE;
  if (!p->job) {
    SetLastError(ERROR_SPL_NO_STARTDOC);
    return FALSE;
  }
  return TRUE;
}

namespace {

BOOL WritePrinterUntraced(HANDLE printer, const void* data, DWORD length, DWORD* written) {
  if (written) *written = 0;
  auto p = Printer(printer);
  if (!p) return FALSE;
  if (!p->job) {
    SetLastError(ERROR_SPL_NO_STARTDOC);
    return FALSE;
  }
  if (length && cupsWriteRequestData(p->http, static_cast<const char*>(data), length) !=
                    HTTP_STATUS_CONTINUE) {
    p->documentFailed = true;
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (written) *written = length;
  return TRUE;
}

}  // namespace

BOOL EndPagePrinter(HANDLE printer) {
  return StartPagePrinter(printer);
}

namespace {

BOOL EndDocUntraced(HANDLE printer) {
  auto p = Printer(printer);
  if (!p) return FALSE;
  if (!p->job) {
    SetLastError(ERROR_SPL_NO_STARTDOC);
    return FALSE;
  }
  const bool ok =
      cupsFinishDocument(p->http, p->name.c_str()) == IPP_STATUS_OK && !p->documentFailed;
  if (!ok) cupsCancelJob2(p->http, p->name.c_str(), p->job, 0);
  p->Close();
  if (!ok) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

// The spooler's calls as the support trace shows them: the queue, the document, its bytes.
BOOL OpenPrinterA(const char* name, HANDLE* printer, void*) {
  const BOOL ok = OpenPrinterUntraced(name, printer);
  if (trace::On()) {
    trace::Line(
        "open queue " + std::string(name ? name : "") +
        (ok ? ": handle " + std::to_string(*printer) : " failed" + trace::Error(GetLastError())));
  }
  return ok;
}

DWORD StartDocPrinterA(HANDLE printer, DWORD level, const DOC_INFO_1A* info) {
  const DWORD job = StartDocUntraced(printer, level, info);
  if (trace::On()) {
    const std::string document = info && info->pDocName ? info->pDocName : "";
    trace::Line(
        "queue handle " + std::to_string(printer) + ": document \"" + document + "\"" +
        (job ? " is job " + std::to_string(job) : " not started" + trace::Error(GetLastError())));
  }
  return job;
}

BOOL WritePrinter(HANDLE printer, const void* data, DWORD length, DWORD* written) {
  const BOOL ok = WritePrinterUntraced(printer, data, length, written);
  if (trace::On()) {
    const std::string queue = "queue handle " + std::to_string(printer);
    if (ok) {
      trace::Data("write to " + queue + ", " + std::to_string(length) + " bytes", data, length);
    } else {
      trace::Line("write to " + queue + " failed" + trace::Error(GetLastError()));
    }
  }
  return ok;
}

BOOL EndDocPrinter(HANDLE printer) {
  const BOOL ok = EndDocUntraced(printer);
  if (trace::On()) {
    trace::Line("queue handle " + std::to_string(printer) +
                (ok ? ": document accepted" : ": document failed" + trace::Error(GetLastError())));
  }
  return ok;
}

BOOL ClosePrinter(HANDLE printer) {
  if (!detail::LookupAs<PrinterObject>(printer)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detail::Remove(printer);  // a document still open is abandoned with the connection
  return TRUE;
}

bool IsPrinterHandle(HANDLE handle) {
  return detail::LookupAs<PrinterObject>(handle) != nullptr;
}

std::vector<std::string> ListPrinterQueues() {
  std::vector<std::string> names;
  http_t* http = Connect();
  if (!http) return names;
  cups_dest_t* dests = nullptr;
  const int n = cupsGetDests2(http, &dests);
  for (int i = 0; i < n; ++i) {
    if (!dests[i].instance) names.push_back(Utf8ToAnsi(dests[i].name));
  }
  cupsFreeDests(n, dests);
  httpClose(http);
  return names;
}

}  // namespace vtl::platform
