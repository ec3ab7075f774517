// The library's debug trace channel and the small text helpers its lines use.
//
// Trace lines go to standard output as "<thread id>: <text>\n", one at a
// time under the trace lock. The channel is quiet unless the environment
// variable LINKCORE_TRACE is "1" when the library first traces: an I/O
// worker writing several lines per packet to an unread standard output
// would stall every other worker behind the trace lock.
#pragma once

#include <cstddef>
#include <string>

namespace linkcore {

// True when LINKCORE_TRACE=1; read once per process.
bool TraceEnabled();

// Writes one trace line (no-op while the channel is quiet). The trace lock is
// the innermost lock of the library.
void Trace(const std::string& text);
void Trace(const char* text);

// The system's text for an error number, produced into the caller's own
// storage (thread safe), with the line break that system texts carry.
std::string SystemErrorText(int error);

// An object's address as upper-case hexadecimal, for trace and log lines.
std::string PointerText(const void* pointer);

}  // namespace linkcore
