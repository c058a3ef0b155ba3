// The station start-up block of the service run: one connector thread per configured station,
// started one after another; sets StationCount.
#pragma once

// szFNINI is the full path of Pelmora.ini.
void StartStationBlock(const char *szFNINI);

// Wakes the station threads after ShutdownFlag was set and waits for them a bounded time, so
// that a reading being written is written before the process ends.
void StopStationBlock();
