// The support trace. When the environment variable VTL_TRACE names a file (it is read the first
// time anything is traced), the library appends to it, with the local time and the number of
// the thread, every opening of a device, socket or spooler queue and its outcome, every byte it
// writes to or reads from them, every event it raises and what hosts ask of a port. A technician
// gets one file that says what went to the printer and what came back.
//
// The file is opened for each record without following a symbolic link (a link in its place is
// refused), created readable by its owner only, and never truncated: records of later runs
// follow. A file that cannot be written is reported once on standard error and the trace stops.
// Tracing never changes the calling thread's last error.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win.h"

namespace vtl::platform::trace {

// Whether a trace is being written. Cheap: every site asks before it formats anything.
bool On();
// One record: `text` after the time and the thread's number.
void Line(const std::string& text);
// A record followed by the bytes, sixteen a row, in hex and as text (a dot for what is not
// printable ASCII).
void Data(const std::string& text, const void* data, std::size_t length);
// " (error N: the system's text)" for a failure's error number, as records show it.
std::string Error(DWORD error);

}  // namespace vtl::platform::trace
