// The spooler on winspool: a raw document per job.
#include "platform/spooler.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/win32/system.h"

namespace vtl::platform {

namespace {

std::mutex g_printersMutex;
std::set<HANDLE>& Printers() {
  static auto* printers = new std::set<HANDLE>;
  return *printers;
}

::HANDLE Printer(HANDLE h) {
  {
    std::lock_guard lock(g_printersMutex);
    if (Printers().count(h)) return win32::Real(h);
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

}  // namespace

BOOL OpenPrinterA(const char* name, HANDLE* printer, void* defaults) {
  if (printer) *printer = 0;
  if (!name || !*name || !printer) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  ::HANDLE h = nullptr;
  if (!::OpenPrinterA(const_cast<char*>(name), &h, static_cast<::LPPRINTER_DEFAULTSA>(defaults))) {
    return FALSE;
  }
  *printer = win32::Ours(h);
  std::lock_guard lock(g_printersMutex);
  Printers().insert(*printer);
  return TRUE;
}

DWORD StartDocPrinterA(HANDLE printer, DWORD level, const DOC_INFO_1A* info) {
  ::HANDLE h = Printer(printer);
  if (!h) return 0;
  if (level != 1 || !info || info->pOutputFile ||
      (info->pDatatype && std::strcmp(info->pDatatype, "RAW") != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  ::DOC_INFO_1A doc{};
  doc.pDocName = const_cast<char*>(info->pDocName ? info->pDocName : "");
  doc.pOutputFile = nullptr;
  doc.pDatatype = const_cast<char*>("RAW");
  return ::StartDocPrinterA(h, 1, reinterpret_cast<::LPBYTE>(&doc));
}

BOOL StartPagePrinter(HANDLE printer) {
  ::HANDLE h = Printer(printer);
  return h ? ::StartPagePrinter(h) : FALSE;
}

BOOL WritePrinter(HANDLE printer, const void* data, DWORD length, DWORD* written) {
  if (written) *written = 0;
  ::HANDLE h = Printer(printer);
  if (!h) return FALSE;
  ::DWORD n = 0;
  const BOOL ok = ::WritePrinter(h, const_cast<void*>(data), length, &n);
  if (written) *written = n;
  return ok;
}

BOOL EndPagePrinter(HANDLE printer) {
  ::HANDLE h = Printer(printer);
  return h ? ::EndPagePrinter(h) : FALSE;
}

BOOL EndDocPrinter(HANDLE printer) {
  ::HANDLE h = Printer(printer);
  return h ? ::EndDocPrinter(h) : FALSE;
}

BOOL ClosePrinter(HANDLE printer) {
  ::HANDLE h = Printer(printer);
  if (!h) return FALSE;
  {
    std::lock_guard lock(g_printersMutex);
    Printers().erase(printer);
  }
  return ::ClosePrinter(h);
}

bool IsPrinterHandle(HANDLE handle) {
  std::lock_guard lock(g_printersMutex);
  return Printers().count(handle) != 0;
}

std::vector<std::string> ListPrinterQueues() {
  std::vector<std::string> names;
  ::DWORD needed = 0, count = 0;
  const ::DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  ::EnumPrintersA(flags, nullptr, 4, nullptr, 0, &needed, &count);
  if (needed == 0) return names;
  std::vector<unsigned char> buffer(needed);
  if (!::EnumPrintersA(flags, nullptr, 4, buffer.data(), needed, &needed, &count)) return names;
  const auto* info = reinterpret_cast<const ::PRINTER_INFO_4A*>(buffer.data());
  for (::DWORD i = 0; i < count; ++i) {
    if (info[i].pPrinterName) names.emplace_back(info[i].pPrinterName);
  }
  return names;
}

namespace {

// The spooler's own words for the bits it set, for people.
template <std::size_t N>
std::string Words(const char* first, ::DWORD status,
                  const std::pair<::DWORD, const char*> (&names)[N]) {
  std::string words = first;
  for (const auto& [bit, name] : names) {
    if (status & bit) words += std::string(", ") + name;
  }
  return words;
}

}  // namespace

BOOL GetJobState(HANDLE printer, DWORD job, SpoolerJobState* state) {
  ::HANDLE h = Printer(printer);
  if (!h) return FALSE;
  if (!state || job == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::DWORD needed = 0;
  // A job the spooler no longer knows (Windows forgets printed jobs) fails here with
  // ERROR_INVALID_PARAMETER.
  ::GetJobA(h, job, 1, nullptr, 0, &needed);
  if (needed == 0) return FALSE;
  std::vector<unsigned char> buffer(needed);
  if (!::GetJobA(h, job, 1, buffer.data(), needed, &needed)) return FALSE;
  const auto* info = reinterpret_cast<const ::JOB_INFO_1A*>(buffer.data());
  static const std::pair<::DWORD, const char*> kNames[] = {
      {JOB_STATUS_PAUSED, "paused"},
      {JOB_STATUS_ERROR, "error"},
      {JOB_STATUS_OFFLINE, "off line"},
      {JOB_STATUS_PAPEROUT, "paper out"},
      {JOB_STATUS_PRINTING, "printing"},
      {JOB_STATUS_PRINTED, "printed"},
      {JOB_STATUS_DELETED, "deleted"},
      {JOB_STATUS_BLOCKED_DEVQ, "blocked"},
      {JOB_STATUS_USER_INTERVENTION, "needs someone"}};
  state->status = info->Status;
  state->words =
      AnsiToUtf8(info->pStatus && *info->pStatus ? info->pStatus
                                                 : Words("document", info->Status, kNames).c_str());
  return TRUE;
}

BOOL GetPrinterState(HANDLE printer, SpoolerQueueState* state) {
  ::HANDLE h = Printer(printer);
  if (!h) return FALSE;
  if (!state) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::DWORD needed = 0;
  ::GetPrinterA(h, 2, nullptr, 0, &needed);
  if (needed == 0) return FALSE;
  std::vector<unsigned char> buffer(needed);
  if (!::GetPrinterA(h, 2, buffer.data(), needed, &needed)) return FALSE;
  const auto* info = reinterpret_cast<const ::PRINTER_INFO_2A*>(buffer.data());
  static const std::pair<::DWORD, const char*> kNames[] = {
      {PRINTER_STATUS_PAUSED, "paused"},
      {PRINTER_STATUS_ERROR, "error"},
      {PRINTER_STATUS_PAPER_JAM, "paper jam"},
      {PRINTER_STATUS_PAPER_OUT, "paper out"},
      {PRINTER_STATUS_OFFLINE, "off line"},
      {PRINTER_STATUS_DOOR_OPEN, "door open"},
      {PRINTER_STATUS_NOT_AVAILABLE, "not available"},
      {PRINTER_STATUS_USER_INTERVENTION, "needs someone"}};
  state->status = info->Status;
  state->accepting = true;
  state->words =
      Words(info->Status & PRINTER_STATUS_PRINTING ? "printing" : "idle", info->Status, kNames);
  return TRUE;
}

}  // namespace vtl::platform
