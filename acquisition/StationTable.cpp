#include "acquisition/StationTable.h"

#include <cmath>

#include "acquisition/Counters.h"

AverageSlot StationTable[STATION_BLOCKS][AVERAGE_SLOTS];
SWMRG MeteoDataGuard;
StationCounters StationStats[STATION_BLOCKS];

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr LONGLONG FiletimeUnitsPerSecond = 10000000;

LONGLONG FiletimeValue(const FILETIME &ft)
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) |
                                 ft.dwLowDateTime);
}

// A value the driver delivered as missing, or one no average can take, enters no sum.
bool Carried(double value) { return std::isfinite(value) && value != SLOT_NO_VALUE; }

bool CarriesDirection(const MeteoSample &s)
{
    return s.dWindSpeed >= 0 && s.dWindDir >= 0 && s.dWindDir <= 360;
}

// Adds the sample's carried values (sign 1) or takes them out again (sign -1); a sum whose last
// value left is set back to 0, so that rounding leaves nothing behind.
void Accumulate(double &sum, DWORD &count, double value, int sign)
{
    if (!Carried(value))
        return;
    if (sign > 0) {
        sum += value;
        ++count;
    } else if (--count == 0) {
        sum = 0;
    } else {
        sum -= value;
    }
}

void ChangeSums(AverageSlot &slot, const MeteoSample &s, int sign)
{
    slot.dSumWindSpeed += sign * s.dWindSpeed;
    if (CarriesDirection(s)) {
        if (sign > 0) {
            slot.dSumCos += s.dCos;
            slot.dSumSin += s.dSin;
            slot.dSumCos2 += s.dCos * s.dCos;
            slot.dSumSin2 += s.dSin * s.dSin;
            ++slot.nCountDir;
        } else if (--slot.nCountDir == 0) {
            slot.dSumCos = slot.dSumSin = slot.dSumCos2 = slot.dSumSin2 = 0;
        } else {
            slot.dSumCos -= s.dCos;
            slot.dSumSin -= s.dSin;
            slot.dSumCos2 -= s.dCos * s.dCos;
            slot.dSumSin2 -= s.dSin * s.dSin;
        }
    }
    Accumulate(slot.dSumOutsideTemp, slot.nCountOutsideTemp, s.dOutsideTemp, sign);
    Accumulate(slot.dSumHumidity, slot.nCountHumidity, s.dHumidity, sign);
    Accumulate(slot.dSumRain, slot.nCountRain, s.dRain, sign);
    Accumulate(slot.dSumPressure, slot.nCountPressure, s.dPressure, sign);
    Accumulate(slot.dSumSolar, slot.nCountSolar, s.dSolar, sign);
}

void UpdateSlot(AverageSlot &slot, int v, MeteoSample *s, bool bSuppressWindAngle)
{
    // Append to the chain.
    if (slot.pNewest == nullptr) {
        slot.pOldest = s;
    } else {
        slot.pNewest->pNext = s;
    }
    s->pPrev = slot.pNewest;
    s->pNext = nullptr;
    slot.pNewest = s;

    ChangeSums(slot, *s, 1);
    slot.ftLast = s->ftTime;
    slot.nCount += 1;

    // Prune what has left the window. Ages are signed: after the clock was set back the older
    // samples carry later times, and the window keeps them until the new times pass them.
    const LONGLONG windowSeconds = SLOT_SECONDS * (v + 1);
    const LONGLONG now = FiletimeValue(s->ftTime);
    for (MeteoSample *p = slot.pOldest; p != nullptr;) {
        const LONGLONG age = (now - FiletimeValue(p->ftTime)) / FiletimeUnitsPerSecond;
        if (age <= windowSeconds) {
            break;
        }
        ChangeSums(slot, *p, -1);
        MeteoSample *pNext = p->pNext;
        slot.pOldest = pNext;
        if (pNext != nullptr) {
            pNext->pPrev = nullptr;
        }
        slot.nCount -= 1;
        if (v == USED_SLOTS - 1) {
            // The longest window is the last to let a sample go.
            delete p;
        }
        p = pNext;
    }

    slot.dWindMeanDir = VectorAngle(slot.dSumCos, slot.dSumSin);

    double varCos = 0;
    double varSin = 0;
    if (slot.nCountDir >= 2) {
        const double n = slot.nCountDir;
        varCos = (slot.dSumCos2 - slot.dSumCos * slot.dSumCos / n) / (n - 1);
        varSin = (slot.dSumSin2 - slot.dSumSin * slot.dSumSin / n) / (n - 1);
    }
    // Identical directions can round to a variance just below 0.
    double spread = 0;
    if (!(varCos < 0 || varSin < 0)) {
        spread = VectorAngle(std::sqrt(varCos), std::sqrt(varSin));
    }
    slot.dWindStdDir = bSuppressWindAngle ? -1.0 : spread;
}

bool IsBlock(LONG nIndex) { return nIndex >= 0 && nIndex < STATION_BLOCKS; }

}  // namespace

void ResetStation(LONG nIndex)
{
    if (!IsBlock(nIndex) || WaitToWrite(&MeteoDataGuard, INFINITE) != 0) {
        return;
    }
    AverageSlot *block = StationTable[nIndex];
    // Slot 11 reaches back furthest: from its oldest sample the chain holds every sample.
    for (MeteoSample *p = block[USED_SLOTS - 1].pOldest; p != nullptr;) {
        MeteoSample *pNext = p->pNext;
        delete p;
        p = pNext;
    }
    for (int v = 0; v < USED_SLOTS; ++v) {
        block[v] = AverageSlot{};
    }
    DoneWriting(&MeteoDataGuard);
}

bool AddSample(LONG nIndex, MeteoSample *pSample, bool bSuppressWindAngle)
{
    if (!IsBlock(nIndex) || WaitToWrite(&MeteoDataGuard, INFINITE) != 0) {
        delete pSample;
        return false;
    }
    AverageSlot *block = StationTable[nIndex];
    for (int v = 0; v < USED_SLOTS; ++v) {
        UpdateSlot(block[v], v, pSample, bSuppressWindAngle);
    }
    DoneWriting(&MeteoDataGuard);
    return true;
}

double SlotAverage(double sum, DWORD count)
{
    // count is unsigned 32-bit; a count past 2^31 must still divide as a positive number.
    return count != 0 ? sum / double(count) : SLOT_NO_VALUE;
}

double VectorAngle(double x, double y)
{
    if (std::fabs(x) < 0.01 && std::fabs(y) < 0.01) {
        return 0;
    }
    double a = 0;
    if (x == 0) {
        a = y > 0 ? Pi / 2 : 3 * Pi / 2;
    } else if (x > 0) {
        a = std::atan(y / x);
        if (y < 0) {
            a += 2 * Pi;
        }
    } else {
        a = std::atan(y / x) + Pi;
    }
    return a * 180 / Pi;
}
