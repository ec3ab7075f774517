// Where the uplink's statements go: the main database (pool 1) and the
// secondary one (pool 2). Statements that share an order key run in the order
// they were queued, and a look-up with that key sees every statement queued
// before it; the key is the station's storage number.
#pragma once

#include "rtu/storage/AdoDB.h"

#include <string>
#include <vector>

namespace rtu {

enum class Database { Main, Secondary };

class StatementTarget {
public:
    virtual ~StatementTarget() = default;
    // True when the database is used (DBMode 1): its statements are queued.
    virtual bool Used(Database db) const = 0;
    // Queues a statement; statements of an unused database are dropped.
    virtual void Enqueue(Database db, const std::string& statement, const std::string& orderKey) = 0;
    // Synchronous look-ups: false when the database could not answer.
    virtual bool QueryRows(Database db, const std::string& statement, const std::string& orderKey,
                           storage::Rows& rows) = 0;
    virtual bool QueryValue(Database db, const std::string& statement, const std::string& orderKey,
                            std::string& value) = 0;
};

// A statement text built with a printf format fixed in the program. Values
// from stations and rows must already be made harmless with SqlEscape.
std::string SqlText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The online stamp (DeviceInfo.RefreshDate, the server's time) of the
// stations filed under these storage numbers.
std::string RefreshStatement(const std::vector<std::string>& storageNumbers);

}  // namespace rtu
