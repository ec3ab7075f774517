// Checks and helpers the end-to-end tests share: frames of a test station,
// the byte-for-byte check of an acknowledgement, reading the database files
// after the program stopped, running stationsim and queueing commands.
#pragma once

#include "tests/e2e/RtuProcess.h"

#include "rtu/protocol/TimeText.h"
#include "rtu/storage/AdoDB.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace rtu::e2e {

// A report body: serial number, the send time now, then the elements.
std::string Body(std::uint16_t serial, const std::string& elements);
// An uplink frame of a test station.
std::string Frame(const std::string& station, const std::string& code, const std::string& body,
                  const std::string& password = "B7E2", const std::string& centre = "01");
// Seconds since the epoch of a local time.
std::time_t Seconds(const CalendarTime& t);

// The acknowledgement must be exactly what the codec builds from the sent
// frame with the send time the centre wrote, and that time must be now.
void ExpectAcknowledgementOf(const std::optional<std::string>& ack, const std::string& sent);

// Rows of a query on a database: an SQLite file, or a whole connection string
// (one that names its Driver); the first value of the first row.
storage::Rows Query(const std::string& database, const std::string& statement);
std::string Count(const std::string& database, const std::string& statement);

// Runs stationsim with the arguments; its exit status, its output in `output`.
int RunStationsim(const std::string& arguments, std::string& output);

// Queues a command for the station in the command table, retrying while the
// program is still creating its database.
// `frame`, when given, receives the command frame as queued.
void QueueCommand(const RtuProcess& centre, const std::string& station, const std::string& function,
                  const std::string& text, std::string* frame = nullptr);
// Runs a statement on the main database, retrying while the program is
// still creating it.
void ExecuteWhenReady(const RtuProcess& centre, const std::string& statement);
// Waits (bounded) until the first value of the query's first row is `wanted`
// while the program runs (`database` as for Query).
bool WaitForValue(const std::string& database, const std::string& statement, const std::string& wanted,
                  std::chrono::seconds limit);

}  // namespace rtu::e2e

#define START_CENTRE(centre)                                                        \
    ASSERT_TRUE((centre).Start()) << "RTU did not start listening:\n" << (centre).Output()
