// Station connector threads: one per configured station. Each binds its station's driver
// library, polls it in a fixed cycle (open, read, close), checks the reading, adds it to its
// block of StationTable and hands it to the daily files and the database writer, until
// ShutdownFlag is set.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "acquisition/MeteoDatabase.h"
#include "driver/MeteoData.h"
#include "platform/win32.h"

// What the start-up block hands a new connector thread.
struct ThreadStartParameter {
    LONG nIndex;         // position in the configured station list = block in StationTable
    DWORD nStationID;    // StationIDs + nIndex
    char szDriver[261];  // the station section's Driver value
    char szFNINI[261];   // full path of Pelmora.ini
    char szID[261];      // the station's section name (decimal station id)
};

// Starts one connector thread per configured station ([General] Stations and StationIDs of
// the INI file), one after another with the "QORTHREATMETEOSTART" handshake, and sets
// StationCount. At most STATION_BLOCKS stations are started; more are refused with a log
// line. Runs on the service thread. The threads' handles are kept for StopStationThreads, or
// handed to the caller in pThreads (who closes them) when it is given.
void StartStationThreads(const char *pszFNINI, std::vector<HANDLE> *pThreads = nullptr);

// Stops the threads StartStationThreads kept (those started without pThreads): wakes them
// from their waits and waits for them to end, dwTimeout in all; ShutdownFlag must be set.
// Returns how many were still running then (their handles are closed all the same).
DWORD StopStationThreads(DWORD dwTimeout);

// Thread routine: param is a ThreadStartParameter allocated with new, which the thread takes
// over (copies, frees, then signals "QORTHREATMETEOSTART"). Returns 0.
unsigned __stdcall MeteoConnectorThreadProc(void *param);

// Where a connector takes the UTC time stamp of each reading; GetSystemTime unless a test
// drives the clock. Set it only while no connector runs.
typedef void (*ReadingClock)(LPSYSTEMTIME);
extern ReadingClock ReadingTimeSource;

class CMeteoConnector {
public:
    explicit CMeteoConnector(const ThreadStartParameter &start);
    virtual ~CMeteoConnector();

    CMeteoConnector(const CMeteoConnector &) = delete;
    CMeteoConnector &operator=(const CMeteoConnector &) = delete;

    // The thread body: returns when the driver cannot be bound or once ShutdownFlag was seen
    // at the end of a cycle.
    void ThreadMeteoConnector();

protected:
    // Called at the end of every polling cycle (nCycle counts from 1), before ShutdownFlag is
    // tested. Does nothing by default.
    virtual void OnCycleEnd(DWORD nCycle);

private:
    bool StartUp();
    bool BindDriver(const std::string &driverPath);
    void PaceCycle();
    void ReadOnce();
    void Accept();
    void Log(const char *pszText) const;

    LONG nIndex;
    DWORD nStationID;
    char szDriver[261];
    char szFNINI[261];
    char szID[261];

    // Settings read once at start.
    DWORD m_dwCycleTime = 20000;
    DWORD m_dwCycleBreakCount = 90;
    DWORD m_dwCycleBreakTime = 40000;
    bool m_bSuppressWindAngle = false;

    HMODULE m_hDriver = nullptr;
    PFN_OPENPORT m_pfnOpenPort = nullptr;
    PFN_GETDATA m_pfnGetData = nullptr;
    PFN_CLOSEPORT m_pfnClosePort = nullptr;
    void *m_hPort = nullptr;

    DWORD m_nCycle = 1;
    DWORD m_dwLastTick = 0;
    bool m_bFirstCycle = true;
    bool m_bHaveSequence = false;
    uint32_t m_nLastSequence = 0;
    std::string m_szReport;
    std::unique_ptr<CMeteoDatabase> m_pDatabase;
    MeteoDataBuffer m_data{};
    SYSTEMTIME m_st{};
    FILETIME m_ft{};
};
