#include "dataserver/BuildResponse.h"

#include "acquisition/StationTable.h"
#include "dataserver/Counters.h"
#include "service/Globals.h"
#include "service/Log.h"

#include <cstdio>
#include <cstring>

static_assert(AVERAGE_SLOTS_IN_USE == USED_SLOTS, "the protocol's windows are the table's");

std::atomic<uint64_t> DataServerConnections{0};
std::atomic<uint64_t> DataServerRequests{0};

namespace {

// Station blocks that a request may read: the configured ones, and never past the table.
DWORD ReadableStations()
{
    const LONG configured = StationCount.load();
    if (configured <= 0)
        return 0;
    return DWORD(configured) < DWORD(STATION_BLOCKS) ? DWORD(configured) : DWORD(STATION_BLOCKS);
}

void FillWindowAverages(const AverageSlot &slot, MeteoResponse &r)
{
    // nCount is unsigned 32-bit; a count past 2^31 must still divide as a positive number.
    const double count = double(slot.nCount);
    r.ftTime = slot.ftLast;
    r.dWindSpeed = slot.dSumWindSpeed / count;
    if (r.dWindSpeed < 0)
        r.dWindSpeed = 0.0;
    r.dWindDir = slot.dWindMeanDir;
    r.dWindStdDir = slot.dWindStdDir;
    if (slot.nCountDir == 0) {
        // No sample of the window had a direction; a suppressed spread stays -1.0.
        r.dWindDir = SLOT_NO_VALUE;
        if (r.dWindStdDir != -1.0)
            r.dWindStdDir = SLOT_NO_VALUE;
    }
    r.dOutsideTemp = SlotAverage(slot.dSumOutsideTemp, slot.nCountOutsideTemp);
    r.dHumidity = SlotAverage(slot.dSumHumidity, slot.nCountHumidity);
    r.dRain = SlotAverage(slot.dSumRain, slot.nCountRain);
    r.dPressure = SlotAverage(slot.dSumPressure, slot.nCountPressure);
    r.dSolar = SlotAverage(slot.dSumSolar, slot.nCountSolar);
    r.nCount = slot.nCount;

    if (const MeteoSample *newest = slot.pNewest) {
        r.dCurWindSpeed = newest->dWindSpeed;
        r.dCurWindDir = newest->dWindDir;
        r.dCurOutsideTemp = newest->dOutsideTemp;
        r.dCurHumidity = newest->dHumidity;
        r.dCurRain = newest->dRain;
        r.dCurPressure = newest->dPressure;
        r.dCurSolar = newest->dSolar;
    }
}

void FillLatestReading(const AverageSlot &slot, MeteoResponse &r)
{
    r.dWindStdDir = -1.0;
    if (const MeteoSample *newest = slot.pNewest) {
        r.ftTime = newest->ftTime;
        r.dWindSpeed = newest->dWindSpeed;
        r.dWindDir = newest->dWindDir;
        r.dOutsideTemp = newest->dOutsideTemp;
        r.dHumidity = newest->dHumidity;
        r.dRain = newest->dRain;
        r.dPressure = newest->dPressure;
        r.dSolar = newest->dSolar;
    }
}

}  // namespace

bool BuildResponse(const BYTE request[QUERY_DATA_SIZE], MeteoResponse &response)
{
    QueryData query;
    std::memcpy(&query, request, sizeof query);
    if (query.nSize != QUERY_DATA_SIZE || query.nStationNumber == 0)
        return false;

    DataServerRequests.fetch_add(1, std::memory_order_relaxed);
    std::memset(&response, 0, sizeof response);
    response.nSize = LONG(METEO_RESPONSE_SIZE);
    response.nVersion = METEO_RESPONSE_VERSION;

    const DWORD station = query.nStationNumber - 1;
    if (station >= ReadableStations()) {
        response.nStation = STATION_NOT_CONFIGURED;
        return true;
    }
    if (query.nSlot >= AVERAGE_SLOTS_IN_USE) {
        response.nStation = SLOT_OUT_OF_RANGE;
        return true;
    }

    char line[64];
    std::snprintf(line, sizeof line, "ProcessMessage Station: %lu Operation: %ld",
                  static_cast<unsigned long>(station) + 1, static_cast<long>(query.nOperation));
    WriteLog(line);

    if (WaitToRead(&MeteoDataGuard, INFINITE) != 0)
        return true;  // nStation stays 0, all data 0
    const AverageSlot &slot = StationTable[station][query.nSlot];
    if (slot.nCount != 0) {
        response.nStation = LONG(station + 1);
        if (query.nOperation == 0)
            FillWindowAverages(slot, response);
        else
            FillLatestReading(slot, response);
    }
    DoneReading(&MeteoDataGuard);
    return true;
}
