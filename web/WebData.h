// What the web face serves, built from copies: the station table is read under the reader
// side of its guard into plain values, and everything else (JSON, metrics text) is made from
// those copies after the guard is left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "acquisition/StationTable.h"
#include "platform/win32.h"

namespace web {

// A configured station as the INI file names it.
struct StationInfo {
    int number = 0;  // 1-based position, as in the data server's requests
    DWORD id = 0;    // StationIDs + position; names its measurement files
    std::string driver;
};

struct Values {
    LONGLONG time = 0;  // Unix seconds, UTC
    double windSpeed = 0, windDir = 0, temperature = 0, humidity = 0, rain = 0, pressure = 0,
           solar = 0;
};

struct Window {
    DWORD samples = 0;
    Values average;         // sums divided by the count, wind speed never below 0
    double dirMean = 0;     // vector-mean direction
    double dirSpread = -1;  // -1 when suppressed
};

struct StationCopy {
    bool hasReading = false;
    Values newest;
    Window windows[USED_SLOTS];
    std::vector<Values> hour;  // the 60-minute window's samples, oldest first (when asked)
};

// The newest samples /samples returns at most; a fast cycle holds many more in an hour.
constexpr size_t MaxHourSamples = 3600;

// Copies block `index` under the reader side of MeteoDataGuard (waiting at most timeoutMs).
// False when the guard was not had in time.
bool CopyStation(int index, bool withHour, StationCopy &copy, DWORD timeoutMs = 2000);
// The same from a given block, without the guard (the caller holds it, or owns the block).
void CopyBlock(const AverageSlot *block, bool withHour, StationCopy &copy);

LONGLONG FiletimeToUnix(const FILETIME &ft);
LONGLONG NowUnix();
// "yyyy-mm-ddThh:mm:ssZ"
std::string IsoTime(LONGLONG unixSeconds);

nlohmann::json ValuesJson(const Values &v, bool withTime);
// A station's object of /api/stations; allWindows adds "windows" with all twelve.
nlohmann::json StationJson(const StationInfo &info, const StationCopy &copy, LONGLONG now,
                           bool allWindows);
nlohmann::json HourJson(const StationInfo &info, const StationCopy &copy);

// "yyyymmdd" of a real calendar day; anything else is refused.
bool ParseDay(const std::string &text, SYSTEMTIME &day);
// The rows of a measurement file's text; lines that do not parse are left out.
nlohmann::json DayRowsJson(const std::string &fileText);

struct Counts {
    uint64_t accepted = 0, dropped = 0, dbCalls = 0, dbFailures = 0;
    bool dbConnected = false;
    uint64_t dbWaiting = 0;
};
Counts StationCounts(int index);

// The Prometheus text of all stations.
std::string MetricsText(const std::vector<StationInfo> &stations,
                        const std::vector<StationCopy> &copies, LONGLONG now,
                        LONGLONG uptimeSeconds, uint64_t httpRequests);

}  // namespace web
