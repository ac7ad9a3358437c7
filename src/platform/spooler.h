// The print spooler, Windows-shaped: a queue is opened by name, and each document is one raw job
// (start document, start page, writes, end page, end document).
//
// Every call that talks to the spooler is bounded in time, so a stuck spooler costs the host
// thread a few seconds at most, never a hang.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace vtl::platform {

inline constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;
inline constexpr DWORD ERROR_SPL_NO_STARTDOC = 3003;

struct DOC_INFO_1A {
  const char* pDocName = nullptr;     // the job's title, in the ANSI code page
  const char* pOutputFile = nullptr;  // not supported: must be null
  const char* pDatatype = nullptr;    // null or "RAW": the bytes go to the printer as they are
};

// Fails with ERROR_INVALID_PRINTER_NAME for a queue the spooler does not know, and with
// ERROR_NOT_READY-like codes when no spooler answers.
BOOL OpenPrinterA(const char* name, HANDLE* printer, void* defaults);
// Returns the job's number, or 0 on failure.
DWORD StartDocPrinterA(HANDLE printer, DWORD level, const DOC_INFO_1A* info);
BOOL StartPagePrinter(HANDLE printer);
BOOL WritePrinter(HANDLE printer, const void* data, DWORD length, DWORD* written);
BOOL EndPagePrinter(HANDLE printer);
// Hands the document to the spooler; it prints from then on.
BOOL EndDocPrinter(HANDLE printer);
BOOL ClosePrinter(HANDLE printer);
// True when `handle` came from OpenPrinterA.
bool IsPrinterHandle(HANDLE handle);

// The names of the queues the spooler offers, in its order.
std::vector<std::string> ListPrinterQueues();

}  // namespace vtl::platform
