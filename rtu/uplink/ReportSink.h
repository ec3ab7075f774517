// Where the dispatcher hands an acknowledged report: it is kept durably first
// and acknowledged after, so a station deletes from its memory only what can
// no longer be lost.
#pragma once

#include "rtu/uplink/ReportStatements.h"

#include <functional>

namespace rtu {

class ReportSink {
public:
    enum class Kept {
        Yes,        // kept; `acknowledge` runs (on another thread) once it is durable
        Refused,    // not kept (the journal is full or cannot be written): do not acknowledge
        NotNeeded,  // no database is used: acknowledge at once
    };

    virtual ~ReportSink() = default;
    virtual Kept Keep(StoredReport report, std::function<void()> acknowledge) = 0;
};

}  // namespace rtu
