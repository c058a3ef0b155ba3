// BuildResponse on arbitrary request bytes, against station blocks filled from the input with
// arbitrary readings (NaN and infinities included).
//
// Input: 128 request bytes (zero-padded when shorter), one byte choosing StationCount, then
// readings of 58 bytes each: the station block (0 to 2), seven doubles, a time step.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "acquisition/StationTable.h"
#include "dataserver/BuildResponse.h"
#include "service/Globals.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr ULONGLONG UnitsPerSecond = 10000000;
constexpr ULONGLONG BaseTime = 133485408000000000ULL;  // 2024-01-01 00:00:00 UTC
constexpr LONG FilledBlocks = 3;
constexpr size_t ReadingBytes = 1 + 7 * sizeof(double) + 1;
constexpr size_t MaxReadings = 8;

FILETIME TimeAt(ULONGLONG seconds)
{
    const ULONGLONG value = BaseTime + seconds * UnitsPerSecond;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(value >> 32);
    return ft;
}

double DoubleAt(const uint8_t *p)
{
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}

bool AllZero(const BYTE *p, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Fields equal as stored: bit for bit, so NaN compares equal to itself.
bool SameValue(double a, double b) { return SameBits(a, b) || (std::isnan(a) && std::isnan(b)); }

void CheckEmpty(const MeteoResponse &r, LONG nStation)
{
    const BYTE *b = reinterpret_cast<const BYTE *>(&r);
    FUZZ_CHECK(r.nStation == nStation);
    FUZZ_CHECK(AllZero(b, 8, 156));
    FUZZ_CHECK(AllZero(b, 160, METEO_RESPONSE_SIZE));
}

void CheckFilled(const MeteoResponse &r, const AverageSlot &slot, LONG nOperation, DWORD station)
{
    const BYTE *b = reinterpret_cast<const BYTE *>(&r);
    if (slot.nCount == 0) {
        CheckEmpty(r, WINDOW_EMPTY);
        return;
    }
    FUZZ_CHECK(r.nStation == LONG(station));
    FUZZ_CHECK(AllZero(b, 40, 56));
    FUZZ_CHECK(AllZero(b, 160, METEO_RESPONSE_SIZE));
    const MeteoSample *newest = slot.pNewest;
    FUZZ_CHECK(newest != nullptr);
    const double n = double(slot.nCount);
    if (nOperation == 0) {
        FUZZ_CHECK(std::memcmp(&r.ftTime, &slot.ftLast, sizeof r.ftTime) == 0);
        const double speed = slot.dSumWindSpeed / n;
        FUZZ_CHECK(SameValue(r.dWindSpeed, speed < 0 ? 0.0 : speed));
        FUZZ_CHECK(!(r.dWindSpeed < 0));
        // Missing and non-finite values never reach a window's sums.
        if (slot.nCountDir != 0) {
            FUZZ_CHECK(SameValue(r.dWindDir, slot.dWindMeanDir));
            FUZZ_CHECK(SameValue(r.dWindStdDir, slot.dWindStdDir));
        } else {
            FUZZ_CHECK(SameBits(r.dWindDir, -9999.0));
        }
        FUZZ_CHECK(std::isfinite(r.dWindDir) && std::isfinite(r.dWindStdDir));
        FUZZ_CHECK(
            SameValue(r.dOutsideTemp, SlotAverage(slot.dSumOutsideTemp, slot.nCountOutsideTemp)));
        FUZZ_CHECK(SameValue(r.dPressure, SlotAverage(slot.dSumPressure, slot.nCountPressure)));
        FUZZ_CHECK(SameValue(r.dCurWindSpeed, newest->dWindSpeed));
        FUZZ_CHECK(SameValue(r.dCurWindDir, newest->dWindDir));
        FUZZ_CHECK(SameValue(r.dCurOutsideTemp, newest->dOutsideTemp));
        FUZZ_CHECK(SameValue(r.dCurHumidity, newest->dHumidity));
        FUZZ_CHECK(SameValue(r.dCurRain, newest->dRain));
        FUZZ_CHECK(SameValue(r.dCurPressure, newest->dPressure));
        FUZZ_CHECK(SameValue(r.dCurSolar, newest->dSolar));
        FUZZ_CHECK(r.nCount == slot.nCount);
    } else {
        FUZZ_CHECK(std::memcmp(&r.ftTime, &newest->ftTime, sizeof r.ftTime) == 0);
        FUZZ_CHECK(SameValue(r.dWindSpeed, newest->dWindSpeed));
        FUZZ_CHECK(SameValue(r.dWindDir, newest->dWindDir));
        FUZZ_CHECK(SameBits(r.dWindStdDir, -1.0));
        FUZZ_CHECK(SameValue(r.dOutsideTemp, newest->dOutsideTemp));
        FUZZ_CHECK(SameValue(r.dHumidity, newest->dHumidity));
        FUZZ_CHECK(SameValue(r.dRain, newest->dRain));
        FUZZ_CHECK(SameValue(r.dPressure, newest->dPressure));
        FUZZ_CHECK(SameValue(r.dSolar, newest->dSolar));
        FUZZ_CHECK(AllZero(b, 96, 156));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_CHECK(Initialize(&MeteoDataGuard, METEODATA_GUARD_NAME));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BYTE request[QUERY_DATA_SIZE] = {};
    std::memcpy(request, data, size < sizeof request ? size : sizeof request);
    size_t pos = sizeof request;

    // -2 .. 253 configured stations: none, a few, and more than the table holds.
    StationCount = pos < size ? LONG(data[pos++]) - 2 : 1;

    for (LONG block = 0; block < FilledBlocks; ++block)
        ResetStation(block);
    ULONGLONG seconds = 0;
    for (size_t k = 0; k < MaxReadings && pos + ReadingBytes <= size; ++k, pos += ReadingBytes) {
        const uint8_t *p = data + pos;
        auto *s = new MeteoSample{};
        s->dWindSpeed = DoubleAt(p + 1);
        s->dWindDir = DoubleAt(p + 9);
        s->dCos = std::cos(s->dWindDir / 360 * 2 * Pi);
        s->dSin = std::sin(s->dWindDir / 360 * 2 * Pi);
        s->dOutsideTemp = DoubleAt(p + 17);
        s->dHumidity = DoubleAt(p + 25);
        s->dRain = DoubleAt(p + 33);
        s->dPressure = DoubleAt(p + 41);
        s->dSolar = DoubleAt(p + 49);
        // Steps of up to 42 minutes let samples leave the shorter windows.
        seconds += ULONGLONG(p[57]) * 10;
        s->ftTime = TimeAt(seconds);
        FUZZ_CHECK(AddSample(LONG(p[0] % FilledBlocks), s, (p[0] & 0x80) != 0));
    }

    QueryData q;
    std::memcpy(&q, request, sizeof q);
    MeteoResponse r;
    std::memset(&r, 0xA5, sizeof r);
    const bool answered = BuildResponse(request, r);

    const bool expectAnswer = q.nSize == QUERY_DATA_SIZE && q.nStationNumber != 0;
    FUZZ_CHECK(answered == expectAnswer);
    if (!answered)
        return 0;

    FUZZ_CHECK(r.nSize == LONG(METEO_RESPONSE_SIZE));
    FUZZ_CHECK(r.nVersion == METEO_RESPONSE_VERSION);
    FUZZ_CHECK(AllZero(r.digest, 0, sizeof r.digest));

    const LONG configured = StationCount.load();
    const DWORD readable = configured <= 0               ? 0
                           : configured < STATION_BLOCKS ? DWORD(configured)
                                                         : DWORD(STATION_BLOCKS);
    const DWORD s = q.nStationNumber - 1;
    if (s >= readable)
        CheckEmpty(r, STATION_NOT_CONFIGURED);
    else if (q.nSlot >= AVERAGE_SLOTS_IN_USE)
        CheckEmpty(r, SLOT_OUT_OF_RANGE);
    else
        CheckFilled(r, StationTable[s][q.nSlot], q.nOperation, s + 1);
    return 0;
}
