// The station data table: running statistics of the recent readings of every station, in
// twelve averaging windows of 5 to 60 minutes, guarded by the one reader/writer guard
// "METEODATA".
//
// Each station's connector thread is the only writer of its own block (ResetStation,
// AddSample take the guard for writing). Readers take MeteoDataGuard with WaitToRead and read
// only between a result of 0 and DoneReading. All times are UTC FILETIMEs.
#pragma once

#include "acquisition/SWMRG.h"
#include "platform/win32.h"

// Blocks of the table: the station at zero-based position nIndex of the configuration uses
// block nIndex.
constexpr int STATION_BLOCKS = 101;
// Slots per block; slots 0 to 11 are in use, slot v covering the last 300 * (v + 1) seconds.
constexpr int AVERAGE_SLOTS = 13;
constexpr int USED_SLOTS = 12;
constexpr LONGLONG SLOT_SECONDS = 300;

// One accepted reading of one station; owned by the table once added.
struct MeteoSample {
    FILETIME ftTime;    // UTC time of the reading
    double dWindSpeed;  // after the connector's corrections
    double dWindDir;    // degrees, as delivered
    double dCos;        // cos and sin of the direction in radians
    double dSin;
    double dOutsideTemp;
    double dHumidity;
    double dRain;
    double dPressure;
    double dSolar;
    MeteoSample *pPrev;  // next older sample; none once it is the oldest of any window
    MeteoSample *pNext;  // next newer sample, or none
};

// One averaging window of one station. A value that a sample does not carry (the missing mark
// -9999.0, NaN, an infinity) stays out of its quantity's sum, so each average is its sum divided
// by its own count (SlotAverage); the wind speed is in every sample and divides by nCount. The
// direction sums take only samples with a wind speed of at least 0 and a direction of 0 to 360.
struct AverageSlot {
    FILETIME ftLast;  // time of the newest sample added
    double dSumWindSpeed;
    double dWindMeanDir;  // vector-mean direction, degrees, 0 <= value < 360
    double dWindStdDir;   // direction spread, 0 to 90 degrees; -1.0 when suppressed
    double dSumCos;
    double dSumSin;
    double dSumCos2;
    double dSumSin2;
    double dSumOutsideTemp;
    double dSumHumidity;
    double dSumRain;
    double dSumPressure;
    double dSumSolar;
    MeteoSample *pNewest;  // the station's newest sample (the same in all slots)
    MeteoSample *pOldest;  // oldest sample still inside this window
    DWORD nCount;          // samples from pOldest to pNewest
    // Of those, the samples that entered each sum.
    DWORD nCountDir;  // the four direction sums and the direction statistics
    DWORD nCountOutsideTemp;
    DWORD nCountHumidity;
    DWORD nCountRain;
    DWORD nCountPressure;
    DWORD nCountSolar;
};

// The mark of a window average that no sample of the window carried a value for.
constexpr double SLOT_NO_VALUE = -9999.0;

// sum / count, or SLOT_NO_VALUE when count is 0.
double SlotAverage(double sum, DWORD count);

extern AverageSlot StationTable[STATION_BLOCKS][AVERAGE_SLOTS];

// The one guard of StationTable, initialised by the program's entry point with "METEODATA".
extern SWMRG MeteoDataGuard;
#define METEODATA_GUARD_NAME "METEODATA"

// Empties slots 0 to 11 of block nIndex under the writer side of the guard, freeing the
// samples still chained there. Nothing happens when the guard cannot be taken or nIndex is
// not a block of the table.
void ResetStation(LONG nIndex);

// Adds pSample (allocated with new) to the twelve windows of block nIndex and recomputes their
// statistics under the writer side of the guard; the direction spread is stored as -1.0 when
// bSuppressWindAngle is set. The table owns the sample from then on. Returns false, and frees
// the sample, when the guard cannot be taken or nIndex is not a block of the table.
bool AddSample(LONG nIndex, MeteoSample *pSample, bool bSuppressWindAngle);

// Direction in degrees of the vector (x, y), 0 <= result < 360; 0 when both components are
// below 0.01 in size.
double VectorAngle(double x, double y);
