// A station driver for connector tests: it hands out scripted readings, one per GetData, and
// reports what the connector asked of it. The test loads the same library as the connector and
// drives it through the Script* exports.
#pragma once

#include <cstdint>

#include "driver/MeteoData.h"

struct ScriptStep {
    int32_t nResult;         // what GetData returns
    MeteoDataBuffer record;  // what GetData writes (68 bytes when nVersion > 1, else 64)
};

struct ScriptCounts {
    int32_t nOpenPort;    // OpenPort calls
    int32_t nOpenPortOk;  // of which returned a handle
    int32_t nGetData;
    int32_t nClosePort;
    int32_t nNullClose;  // ClosePort calls with a null handle
};

// Replaces the script. When it runs out, OpenPort returns null (a station that no longer
// answers) unless bRepeatLast is set, in which case the last step is served again and again.
typedef void (*PFN_SCRIPTLOAD)(const ScriptStep *pSteps, int32_t nSteps, int32_t bRepeatLast);
typedef void (*PFN_SCRIPTCOUNTS)(ScriptCounts *pCounts);
// Milliseconds on a steady clock at each GetData call; returns how many were stored.
typedef int32_t (*PFN_SCRIPTGETTIMES)(int64_t *pMs, int32_t nMax);
// Waits until nThreads different threads have each called OpenPort nOpens times or more;
// false after nTimeoutMs.
typedef int32_t (*PFN_SCRIPTWAITTHREADS)(int32_t nThreads, int32_t nOpens, int32_t nTimeoutMs);
// Waits until OpenPort has been called nOpens times in all; false after nTimeoutMs.
typedef int32_t (*PFN_SCRIPTWAITOPENS)(int32_t nOpens, int32_t nTimeoutMs);
