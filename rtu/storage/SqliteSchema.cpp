#include "rtu/storage/SqliteSchema.h"

#include "rtu/common/Log.h"
#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"

namespace rtu::storage {

bool InstallSqliteSchemaIfEmpty(BoundConnection& db)
{
    std::string tables = "0";
    if (!db.QueryValue("select count(*) from sqlite_master where type in ('table','view')", tables,
                       TextForm::Exact)) {
        RTU_LOG_ERROR("SQLite database could not be examined: " << db.LastError());
        return false;
    }
    if (tables != "0")
        return true;
    db.BeginTrans();
    for (const std::string& statement : SplitSqlScript(SqliteSchemaScript())) {
        if (!db.Execute(statement)) {
            RTU_LOG_ERROR("SQLite schema could not be created: " << db.LastError());
            db.RollbackTrans();
            return false;
        }
    }
    if (!db.CommitTrans()) {
        RTU_LOG_ERROR("SQLite schema could not be created: " << db.LastError());
        return false;
    }
    RTU_LOG_DEBUG("SQLite database was empty: tables created");
    return true;
}

}  // namespace rtu::storage
