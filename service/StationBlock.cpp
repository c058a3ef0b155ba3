#include "service/StationBlock.h"

void StartStationBlock(const char *szFNINI)
{
    // The acquisition's start-up block (connector threads with the start handshake) is
    // called from here.
    (void)szFNINI;
}
