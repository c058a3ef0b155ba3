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

void AddToSums(AverageSlot &slot, const MeteoSample &s)
{
    slot.dSumWindSpeed += s.dWindSpeed;
    if (s.dWindSpeed >= 0) {
        slot.dSumCos += s.dCos;
        slot.dSumSin += s.dSin;
        slot.dSumCos2 += s.dCos * s.dCos;
        slot.dSumSin2 += s.dSin * s.dSin;
    }
    slot.dSumOutsideTemp += s.dOutsideTemp;
    slot.dSumHumidity += s.dHumidity;
    slot.dSumRain += s.dRain;
    slot.dSumPressure += s.dPressure;
    slot.dSumSolar += s.dSolar;
}

void SubtractFromSums(AverageSlot &slot, const MeteoSample &s)
{
    slot.dSumWindSpeed -= s.dWindSpeed;
    if (s.dWindSpeed >= 0) {
        slot.dSumCos -= s.dCos;
        slot.dSumSin -= s.dSin;
        slot.dSumCos2 -= s.dCos * s.dCos;
        slot.dSumSin2 -= s.dSin * s.dSin;
    }
    slot.dSumOutsideTemp -= s.dOutsideTemp;
    slot.dSumHumidity -= s.dHumidity;
    slot.dSumRain -= s.dRain;
    slot.dSumPressure -= s.dPressure;
    slot.dSumSolar -= s.dSolar;
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

    AddToSums(slot, *s);
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
        SubtractFromSums(slot, *p);
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
    if (slot.nCount >= 2) {
        const double n = slot.nCount;
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
