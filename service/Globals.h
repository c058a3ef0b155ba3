// Process-wide switches shared by the service run, the station threads and the data server.
#pragma once

#include <atomic>

#include "platform/win32.h"

// 1 once the service run is ending; station threads leave at the end of their cycle.
extern std::atomic<LONG> ShutdownFlag;

// The number of configured stations; requests for stations beyond it are refused.
extern std::atomic<LONG> StationCount;
