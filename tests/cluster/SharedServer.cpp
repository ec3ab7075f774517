#include "tests/cluster/SharedServer.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace rtu::cluster_test {
namespace {

const std::string kRole = "rtu_test";
const std::string kPassword = "rtu_test_pw";
const std::string kAdminDatabase = "rtu_test";

std::string DataFolder() { return "/tmp/rtu-pg-cluster-" + std::to_string(SharedServer::kPort); }

// Runs the server script with this server's port and folder; its exit
// status, what it printed in `output`.
int RunScript(const std::string& verb, std::string& output)
{
    const std::string command = "RTU_PG_PORT=" + std::to_string(SharedServer::kPort) + " RTU_PG_DATA=" +
                                DataFolder() + " " RTU_PG_TEST_SERVER " " + verb + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[1024];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int OpenLock(const std::string& suffix)
{
    return ::open((DataFolder() + suffix).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::atomic<int> g_databases{0};

}  // namespace

bool SharedServer::Join(std::string& why)
{
    if (::access("/usr/lib/postgresql/15/bin/pg_ctl", X_OK) != 0) {
        why = "PostgreSQL 15 is not installed";
        return false;
    }
    startLock_ = OpenLock(".start.lock");
    usersLock_ = OpenLock(".users.lock");
    if (startLock_ < 0 || usersLock_ < 0 || ::flock(startLock_, LOCK_EX) != 0) {
        why = "the lock files of the test server could not be used";
        return false;
    }
    std::string output;
    const int status = RunScript("start", output);
    if (status == 0) {
        ::flock(usersLock_, LOCK_SH);
        joined_ = true;
    } else {
        why = "the test server did not start: " + output;
    }
    ::flock(startLock_, LOCK_UN);
    return joined_;
}

SharedServer::~SharedServer()
{
    if (joined_ && ::flock(startLock_, LOCK_EX) == 0) {
        // The last user stops the server: nobody else holds the users lock.
        ::flock(usersLock_, LOCK_UN);
        if (::flock(usersLock_, LOCK_EX | LOCK_NB) == 0) {
            std::string output;
            RunScript("stop", output);
            ::flock(usersLock_, LOCK_UN);
        }
        ::flock(startLock_, LOCK_UN);
    }
    if (startLock_ >= 0) ::close(startLock_);
    if (usersLock_ >= 0) ::close(usersLock_);
}

std::string SharedServer::Connection(const std::string& database) const
{
    return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(kPort) + ";Database=" + database +
           ";UID=" + kRole + ";PWD=" + kPassword;
}

std::string SharedServer::SettingsKeys(const std::string& database) const
{
    return "Driver=PostgreSQL Unicode\nSource=127.0.0.1:" + std::to_string(kPort) + "\nName=" + database +
           "\nUser=" + kRole + "\nPwd=" + kPassword + "\n";
}

std::string SharedServer::CreateDatabase(std::string& why)
{
    const std::string name =
        "cluster_" + std::to_string(::getpid()) + "_" + std::to_string(g_databases.fetch_add(1));
    storage::CAdoDB admin;
    if (!admin.Open(Connection(kAdminDatabase))) {
        why = "test server not reached: " + admin.LastError();
        return "";
    }
    admin.Execute("DROP DATABASE IF EXISTS " + name);
    if (!admin.Execute("CREATE DATABASE " + name)) {
        why = "CREATE DATABASE: " + admin.LastError();
        return "";
    }
    storage::CAdoDB db;
    if (!db.Open(Connection(name))) {
        why = "new database not reached: " + db.LastError();
        return "";
    }
    for (const std::string& statement : storage::SplitSqlScript(ReadFile(RTU_POSTGRESQL_SCHEMA))) {
        if (!db.Execute(statement)) {
            why = "postgresql.sql: " + db.LastError() + " in " + statement;
            return "";
        }
    }
    return name;
}

void SharedServer::DropDatabase(const std::string& name)
{
    storage::CAdoDB admin;
    if (!name.empty() && admin.Open(Connection(kAdminDatabase)))
        admin.Execute("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

}  // namespace rtu::cluster_test
