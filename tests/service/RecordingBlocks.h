// Recording stand-ins for the data-server and station blocks of the service run: each test
// says what they do and reads back what the run asked of them, in order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "service/DataServerBlock.h"

struct RecordedRun {
    std::vector<std::string> calls;  // "start server", "stations", "stop accepting", ...
    DataServerSettings settings{};
    std::string iniPath;
    LONG shutdownFlagAtShutdown = -1;
    LONG shutdownFlagAtStationStop = -1;
    bool shutdownEventExistedAtServerStart = true;
    bool shutdownEventExistedAtStations = false;
    bool shutdownEventExistedAtServerDestruction = true;

    std::function<void()> onServerStart;  // may throw
    std::function<void()> onStations;     // may throw, or stop the service

    void Clear() { *this = RecordedRun(); }
};

extern RecordedRun Recorded;
