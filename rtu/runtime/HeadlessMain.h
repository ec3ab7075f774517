#pragma once

namespace rtu {

// Runs the data centre without windows in the current directory until SIGINT
// or SIGTERM; returns the process's exit code.
int RunHeadless();

}  // namespace rtu
