// Counters of the acquisition side, for the web face's health and metrics. Each station's
// connector thread is the only writer of its entry; readers take them without the guard.
#pragma once

#include <atomic>
#include <cstdint>

#include "acquisition/StationTable.h"

struct StationCounters {
    std::atomic<uint64_t> accepted{0};     // readings added to the table
    std::atomic<uint64_t> dropped{0};      // readings refused as invalid
    std::atomic<uint64_t> dbCalls{0};      // database calls made (one per accepted reading)
    std::atomic<uint64_t> dbFailures{0};   // of those, the ones not stored at once
    std::atomic<bool> dbConnected{false};  // a database connection is open after the last call
    std::atomic<uint64_t> dbWaiting{0};    // readings waiting in the backlog
};

// Entry nIndex belongs to block nIndex of StationTable.
extern StationCounters StationStats[STATION_BLOCKS];
