#include "rtu/journal/RejectedReplay.h"

#include "rtu/journal/JournalApplier.h"
#include "rtu/journal/ReportJournal.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <ostream>

namespace rtu::journal {

namespace {

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool ListRejected(const std::string& journalPath, std::ostream& out)
{
    if (!Exists(journalPath)) {
        out << "no report journal " << journalPath << " here\n";
        return false;
    }
    ReportJournal::Reader reader(journalPath);
    std::vector<RejectedStatement> rows;
    if (!reader.Ok() || !reader.ListRejected(rows)) {
        out << "the report journal " << journalPath << " cannot be read: " << reader.Error() << "\n";
        return false;
    }
    for (const RejectedStatement& r : rows)
        out << r.id << "\t" << r.rejectedAt << "\t" << r.database << "\treport " << r.seq << "\ttries " << r.tries
            << "\t" << r.error << "\n\t" << RenderStatement(r.statement, r.params) << "\n";
    out << rows.size() << " refused statements in " << journalPath << "\n";
    return true;
}

ReplayOutcome ReplayRejected(const std::string& journalPath, const std::string& mainConnection,
                             const std::string& secondaryConnection, std::ostream& out)
{
    ReplayOutcome outcome;
    if (!Exists(journalPath)) {
        out << "no report journal " << journalPath << " here\n";
        outcome.ok = false;
        return outcome;
    }
    ReportJournal::Reader reader(journalPath);
    std::vector<RejectedStatement> rows;
    if (!reader.Ok() || !reader.ListRejected(rows)) {
        out << "the report journal " << journalPath << " cannot be read: " << reader.Error() << "\n";
        outcome.ok = false;
        return outcome;
    }
    std::map<std::string, std::unique_ptr<storage::BoundConnection>> connections;
    for (const RejectedStatement& r : rows) {
        const std::string& connection = r.database == "secondary" ? secondaryConnection : mainConnection;
        auto& db = connections[r.database];
        if (!db && !connection.empty()) {
            std::string error;
            db = storage::OpenWriterConnection(connection, error);
            if (!db) {
                out << r.database << " database cannot be reached: " << error << "\n";
                connections.erase(r.database);
            }
        }
        if (!connections.count(r.database) || !connections[r.database]) {
            ++outcome.unreachable;
            continue;
        }
        storage::BoundConnection& conn = *connections[r.database];
        ReportStatement statement;
        statement.db = r.database == "secondary" ? Database::Secondary : Database::Main;
        statement.kind = static_cast<StatementKind>(r.kind);
        statement.params = r.params;
        const bool ok = r.kind >= 0 && r.kind < kStatementKinds && conn.BeginTrans() >= 0 &&
                        RunReportStatement(conn, statement) && conn.CommitTrans();
        if (ok) {
            reader.RemoveRejected(r.id);
            ++outcome.written;
            out << "written: " << r.id << " (report " << r.seq << ", " << r.database << ")\n";
            continue;
        }
        RejectedStatement again = r;
        again.error = conn.LastError();
        conn.RollbackTrans();
        if (conn.LastErrorWasConnection()) {
            ++outcome.unreachable;
            out << "not written, " << r.database << " database unreachable: " << again.error << "\n";
            continue;
        }
        reader.UpdateRejected(again);
        ++outcome.refused;
        out << "refused again: " << r.id << " (report " << r.seq << ", " << r.database << "): " << again.error
            << "\n";
    }
    out << outcome.written << " written, " << outcome.refused << " refused again, " << outcome.unreachable
        << " not reached\n";
    return outcome;
}

}  // namespace rtu::journal
