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

// A document's state, as Windows names its bits.
inline constexpr DWORD JOB_STATUS_PAUSED = 0x00000001;
inline constexpr DWORD JOB_STATUS_ERROR = 0x00000002;
inline constexpr DWORD JOB_STATUS_PRINTING = 0x00000010;
inline constexpr DWORD JOB_STATUS_OFFLINE = 0x00000020;
inline constexpr DWORD JOB_STATUS_PAPEROUT = 0x00000040;
inline constexpr DWORD JOB_STATUS_PRINTED = 0x00000080;
inline constexpr DWORD JOB_STATUS_DELETED = 0x00000100;
inline constexpr DWORD JOB_STATUS_BLOCKED_DEVQ = 0x00000200;
inline constexpr DWORD JOB_STATUS_USER_INTERVENTION = 0x00000400;
inline constexpr DWORD JOB_STATUS_COMPLETE = 0x00001000;

// A queue's state, likewise.
inline constexpr DWORD PRINTER_STATUS_PAUSED = 0x00000001;
inline constexpr DWORD PRINTER_STATUS_ERROR = 0x00000002;
inline constexpr DWORD PRINTER_STATUS_PAPER_JAM = 0x00000008;
inline constexpr DWORD PRINTER_STATUS_PAPER_OUT = 0x00000010;
inline constexpr DWORD PRINTER_STATUS_OFFLINE = 0x00000080;
inline constexpr DWORD PRINTER_STATUS_PRINTING = 0x00000400;
inline constexpr DWORD PRINTER_STATUS_NOT_AVAILABLE = 0x00001000;
inline constexpr DWORD PRINTER_STATUS_USER_INTERVENTION = 0x00100000;
inline constexpr DWORD PRINTER_STATUS_DOOR_OPEN = 0x00400000;

struct SpoolerJobState {
  DWORD status = 0;   // JOB_STATUS_*; 0 is a document waiting its turn
  std::string words;  // the spooler's own words for it (UTF-8), for people
};

struct SpoolerQueueState {
  DWORD status = 0;       // PRINTER_STATUS_*
  bool accepting = true;  // whether the queue takes new documents
  std::string words;      // the state and its reasons in the spooler's words (UTF-8)
};

// The state of document `job` (StartDocPrinterA's number) of the queue. Fails with
// ERROR_INVALID_PARAMETER once the spooler no longer knows the document: Windows forgets a
// document when it has printed.
BOOL GetJobState(HANDLE printer, DWORD job, SpoolerJobState* state);
// The queue's own state.
BOOL GetPrinterState(HANDLE printer, SpoolerQueueState* state);

}  // namespace vtl::platform
