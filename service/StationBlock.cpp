#include "service/StationBlock.h"

#include "acquisition/MeteoConnector.h"

void StartStationBlock(const char *szFNINI) { StartStationThreads(szFNINI); }
