#pragma once

namespace rtu {

// Runs the data centre without windows in the current directory until SIGINT
// or SIGTERM; returns the process's exit code. When the service cannot
// start (its port is busy, Port is not a whole number, the network library
// fails) it says why on standard error and returns 1 at once.
int RunHeadless();

}  // namespace rtu
