#include "service/StationBlock.h"

#include "acquisition/MeteoConnector.h"

void StartStationBlock(const char *szFNINI) { StartStationThreads(szFNINI); }

void StopStationBlock()
{
    // As long as the pool is given to finish its work.
    StopStationThreads(15000);
}
