// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM for vantrel-cli. While it measures, a request stops the
// run the way the window's Stop does, and the final report and files still
// come; at any other moment (reading a saved run, drawing, writing the
// results) it ends the program at once: one line, exit status 1.
#pragma once

#include <cstdint>

namespace StopRequests {

// Starts the thread that takes every request. platform::catchStopRequests
// must have been called first, before any other thread started.
void watch();

// From here until measured(), a request stops the run instead of the
// program.
void measuring();
void measured();

// Waits up to timeoutMs for a request during the run; true once one came.
bool waitFor(std::uint32_t timeoutMs);

} // namespace StopRequests
