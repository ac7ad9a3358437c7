// The spooler on CUPS: one raw job per document, on a connection of its own.
#include "platform/spooler.h"

#include <cups/cups.h>

#include <cstdint>
#include <cstring>
#include <string_view>

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

namespace {

// Asks the spooler for attributes of the queue (`job` 0) or of one of its jobs. Null when the
// spooler did not answer or does not know them; `notFound` tells the two apart.
ipp_t* Ask(const PrinterObject& p, int job, const char* const* names, int count, bool* notFound) {
  *notFound = false;
  http_t* http = Connect();
  if (!http) return nullptr;
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", p.name.c_str());
  ipp_t* request =
      ippNewRequest(job > 0 ? IPP_OP_GET_JOB_ATTRIBUTES : IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  if (job > 0) ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", count, nullptr,
                names);
  ipp_t* response = cupsDoRequest(http, request, "/");
  const ipp_status_t status = cupsLastError();
  httpClose(http);
  if (status > IPP_STATUS_OK_EVENTS_COMPLETE) {
    *notFound = status == IPP_STATUS_ERROR_NOT_FOUND;
    ippDelete(response);
    return nullptr;
  }
  return response;
}

// The keywords of a reasons attribute, "none" left out.
std::vector<std::string> Keywords(ipp_t* response, const char* name) {
  std::vector<std::string> words;
  ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_KEYWORD);
  for (int i = 0; a && i < ippGetCount(a); ++i) {
    const char* w = ippGetString(a, i, nullptr);
    if (w && std::strcmp(w, "none") != 0) words.emplace_back(w);
  }
  return words;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Keywords end in -report, -warning or -error; only the last stops a printer.
bool EndsWithError(const std::string& s) {
  constexpr std::string_view kError = "-error";
  return s.size() > kError.size() &&
         s.compare(s.size() - kError.size(), kError.size(), kError) == 0;
}

std::string Joined(const char* first, const std::vector<std::string>& rest) {
  std::string words = first;
  for (const std::string& w : rest) words += ", " + w;
  return words;
}

}  // namespace

BOOL GetJobState(HANDLE printer, DWORD job, SpoolerJobState* state) {
  auto p = Printer(printer);
  if (!p) return FALSE;
  if (!state || job == 0 || job > INT32_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  static const char* const kNames[] = {"job-state", "job-state-reasons"};
  bool notFound = false;
  ipp_t* response = Ask(*p, static_cast<int>(job), kNames, 2, &notFound);
  if (!response) {
    SetLastError(notFound ? ERROR_INVALID_PARAMETER : ERROR_NOT_READY);
    return FALSE;
  }
  const int jobState = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
  const std::vector<std::string> reasons = Keywords(response, "job-state-reasons");
  ippDelete(response);
  DWORD status = 0;
  const char* word = "waiting";
  switch (jobState) {
    case IPP_JSTATE_HELD:
      status = JOB_STATUS_PAUSED;
      word = "held";
      break;
    case IPP_JSTATE_PROCESSING:
      status = JOB_STATUS_PRINTING;
      word = "printing";
      break;
    case IPP_JSTATE_STOPPED:
      status = JOB_STATUS_ERROR | JOB_STATUS_BLOCKED_DEVQ;
      word = "stopped";
      break;
    case IPP_JSTATE_CANCELED:
      status = JOB_STATUS_DELETED;
      word = "canceled";
      break;
    case IPP_JSTATE_ABORTED:
      status = JOB_STATUS_DELETED | JOB_STATUS_ERROR;
      word = "aborted";
      break;
    case IPP_JSTATE_COMPLETED:
      status = JOB_STATUS_COMPLETE | JOB_STATUS_PRINTED;
      word = "completed";
      break;
    default:
      break;
  }
  for (const std::string& r : reasons) {
    if (r == "printer-stopped" || r == "printer-stopped-partly") status |= JOB_STATUS_BLOCKED_DEVQ;
  }
  state->status = status;
  state->words = Joined(word, reasons);
  return TRUE;
}

BOOL GetPrinterState(HANDLE printer, SpoolerQueueState* state) {
  auto p = Printer(printer);
  if (!p) return FALSE;
  if (!state) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  static const char* const kNames[] = {"printer-state", "printer-state-reasons",
                                       "printer-is-accepting-jobs"};
  bool notFound = false;
  ipp_t* response = Ask(*p, 0, kNames, 3, &notFound);
  if (!response) {
    SetLastError(notFound ? ERROR_INVALID_PRINTER_NAME : ERROR_NOT_READY);
    return FALSE;
  }
  const int printerState =
      ippGetInteger(ippFindAttribute(response, "printer-state", IPP_TAG_ENUM), 0);
  ipp_attribute_t* accepting =
      ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
  const std::vector<std::string> reasons = Keywords(response, "printer-state-reasons");
  state->accepting = !accepting || ippGetBoolean(accepting, 0) != 0;
  ippDelete(response);
  DWORD status = 0;
  const char* word = "idle";
  if (printerState == IPP_PSTATE_PROCESSING) {
    status |= PRINTER_STATUS_PRINTING;
    word = "printing";
  } else if (printerState == IPP_PSTATE_STOPPED) {
    status |= PRINTER_STATUS_PAUSED;
    word = "stopped";
  }
  for (const std::string& r : reasons) {
    if (StartsWith(r, "media-empty") || StartsWith(r, "media-needed")) {
      status |= PRINTER_STATUS_PAPER_OUT;
    } else if (StartsWith(r, "offline")) {
      status |= PRINTER_STATUS_OFFLINE;
    } else if (StartsWith(r, "cover-open") || StartsWith(r, "door-open")) {
      status |= PRINTER_STATUS_DOOR_OPEN;
    } else if (StartsWith(r, "media-jam")) {
      status |= PRINTER_STATUS_PAPER_JAM;
    } else if (r == "paused") {
      status |= PRINTER_STATUS_PAUSED;
    }
    if (EndsWithError(r)) status |= PRINTER_STATUS_ERROR;
  }
  state->status = status;
  state->words = Joined(word, reasons);
  if (!state->accepting) state->words += ", not accepting documents";
  return TRUE;
}

}  // namespace vtl::platform
