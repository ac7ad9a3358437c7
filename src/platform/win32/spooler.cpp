// The spooler on winspool: a raw document per job.
#include "platform/spooler.h"

#include <cstring>
#include <mutex>
#include <set>

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

}  // namespace vtl::platform
