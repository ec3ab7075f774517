// A private PostgreSQL server shared by the test processes of this folder,
// and a fresh database on it for each test.
//
// CTest runs every test case in a process of its own, possibly several at
// once. The server (its own port and data folder, so it never meets the
// server of the other tests) is started by the first process that needs it
// and stopped by the last one that leaves: every user holds a shared lock on
// a users file for as long as it runs, and starting and stopping happen under
// a second, exclusive lock.
#pragma once

#include <string>

namespace rtu::cluster_test {

class SharedServer {
public:
    static constexpr int kPort = 55434;

    SharedServer() = default;
    ~SharedServer();
    SharedServer(const SharedServer&) = delete;
    SharedServer& operator=(const SharedServer&) = delete;

    // Starts the server if it does not run and registers this process as a
    // user. False with `why` when PostgreSQL 15 is not installed or the
    // server could not be started.
    bool Join(std::string& why);

    // Creates an empty database with the program's PostgreSQL schema; its
    // name, or empty with `why` on failure.
    std::string CreateDatabase(std::string& why);
    void DropDatabase(const std::string& name);

    // An ODBC connection string for a database of the server.
    std::string Connection(const std::string& database) const;
    // The database keys of section Set of server.ini for a database.
    std::string SettingsKeys(const std::string& database) const;

private:
    int startLock_ = -1;  // held while starting or stopping
    int usersLock_ = -1;  // held shared while this process uses the server
    bool joined_ = false;
};

}  // namespace rtu::cluster_test
