// The operator's side of the journal's table Rejected: statements a database
// refused for their content, listed, and written again once the cause is
// mended (a column widened, a key freed). A statement written again leaves
// the table; one refused again stays with the new message.
#pragma once

#include <iosfwd>
#include <string>

namespace rtu::journal {

struct ReplayOutcome {
    int written = 0;      // written now and removed from the table
    int refused = 0;      // refused again, kept with the new message
    int unreachable = 0;  // its database could not be reached or is not configured
    bool ok = true;       // false when the journal could not be read
};

// Lists every refused statement; false when the journal could not be read.
bool ListRejected(const std::string& journalPath, std::ostream& out);

// Writes every refused statement again, to the database its row names, with
// the connection string of that database (empty: not configured).
ReplayOutcome ReplayRejected(const std::string& journalPath, const std::string& mainConnection,
                             const std::string& secondaryConnection, std::ostream& out);

}  // namespace rtu::journal
