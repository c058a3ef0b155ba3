#include "service/KALMeteoService.h"

#include <cstdio>
#include <memory>
#include <string>

#include "service/DataServerBlock.h"
#include "service/Globals.h"
#include "service/Log.h"
#include "service/StationBlock.h"
#include "service/WebBlock.h"
#include "win32/Event.h"
#include "win32/Exception.h"

using Tarnwick::Win32::CException;
using Tarnwick::Win32::CManualResetEvent;

namespace {

// The stop's wait for the station threads (15 s), and a second to spare.
constexpr DWORD kStationStopWaitHint = 16000;

}  // namespace

CKALMeteoService::CKALMeteoService()
    : CNTService("KALMeteoDataServer", "Pelmora"), m_hStopEvent(nullptr), m_bStopRequested(false)
{
}

namespace {

// Stops the web face once, on the way out of the run whichever way it leaves.
class WebFace {
public:
    WebFace() = default;
    WebFace(const WebFace &) = delete;
    WebFace &operator=(const WebFace &) = delete;
    ~WebFace() { Stop(); }
    void Stop()
    {
        if (m_bRunning)
            StopWebBlock();
        m_bRunning = false;
    }

private:
    bool m_bRunning = true;
};

}  // namespace

void CKALMeteoService::Stop()
{
    SetStatus(SERVICE_STOP_PENDING, 11000, 0);
    // Flag first, event second: either Stop finds the event or Run finds the flag.
    m_bStopRequested = true;
    HANDLE hStopEvent = m_hStopEvent.load();
    if (hStopEvent)
        SetEvent(hStopEvent);
}

void CKALMeteoService::Run(DWORD argc, LPSTR *argv)
{
    (void)argc;
    (void)argv;
    SetStatus(SERVICE_START_PENDING, 3000, 0);

    m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD dwStopEventError = m_hStopEvent.load() ? 0 : GetLastError();
    if (m_hStopEvent.load() && m_bStopRequested.exchange(false))
        SetEvent(m_hStopEvent.load());

    char szFNINI[MAX_PATH + 1];
    std::snprintf(szFNINI, sizeof szFNINI, "%s", PathBesideExecutable("Pelmora.ini").c_str());

    const UINT nPort = GetPrivateProfileIntA("General", "Port", 7599, szFNINI);
    const UINT nMaxSockets = GetPrivateProfileIntA("General", "maxSockets", 10, szFNINI);
    const UINT nMaxBuffers = GetPrivateProfileIntA("General", "maxBuffers", 10, szFNINI);
    const UINT nMinThreads = GetPrivateProfileIntA("General", "minThreads", 5, szFNINI);
    const UINT nMaxThreads = GetPrivateProfileIntA("General", "maxThreads", 10, szFNINI);
    TraceLevel = static_cast<LONG>(GetPrivateProfileIntA("General", "Trace", 0, szFNINI));

    // Without a stop event nothing could ever end the wait below.
    if (!m_hStopEvent.load()) {
        std::string text = Tarnwick::Win32::ErrorText(dwStopEventError);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        WriteLog("Exception: CKALMeteoService::Run() - CreateEventA - " + text);
        return;
    }

    // Armed once the stations may run: from then on every way out of the run stops them, since
    // the entry point deletes the guard they use once the run has returned.
    class CStationStop {
    public:
        explicit CStationStop(CKALMeteoService &service) : m_service(service) {}
        CStationStop(const CStationStop &) = delete;
        CStationStop &operator=(const CStationStop &) = delete;
        ~CStationStop()
        {
            if (m_armed)
                Stop();
        }
        void Arm() { m_armed = true; }
        void Stop()
        {
            m_armed = false;
            ShutdownFlag = 1;
            // The stations are waited for up to 15 s.
            m_service.SetStatus(SERVICE_STOP_PENDING, kStationStopWaitHint, 0);
            StopStationBlock();
        }

    private:
        CKALMeteoService &m_service;
        bool m_armed = false;
    } stationStop(*this);

    try {
        // Data server: the thread pool, then the socket server, accepting connections.
        DataServerSettings settings;
        settings.listenPort = static_cast<WORD>(nPort & 0xFFFFu);
        settings.maxPooledSockets = nMaxSockets;
        settings.maxPooledBuffers = nMaxBuffers;
        settings.minThreads = nMinThreads;
        settings.maxThreads = nMaxThreads;
        std::unique_ptr<CDataServer> dataServer = StartDataServer(settings);

        CManualResetEvent shutdownEvent("TarnwickServerShutdown", false);
        CManualResetEvent pauseResumeEvent("TarnwickServerPauseResume", false);

        // The web face, before the stations take over the log's switch; it stops before the
        // data server also when start-up throws.
        StartWebBlock(szFNINI);
        WebFace web;

        // Station connector threads, one after another.
        stationStop.Arm();
        StartStationBlock(szFNINI);

        SetStatus(SERVICE_RUNNING, 3000, 0);

        HANDLE handlesToWaitFor[3] = {shutdownEvent.GetHandle(), pauseResumeEvent.GetHandle(),
                                      m_hStopEvent.load()};

        while (WaitForSingleObject(handlesToWaitFor[2], 10) != WAIT_OBJECT_0)
            Sleep(10000);

        bool accepting = true;
        bool done = false;
        while (!done) {
            DWORD dwWait = WaitForMultipleObjects(3, handlesToWaitFor, FALSE, INFINITE);
            switch (dwWait) {
            case WAIT_OBJECT_0: done = true; break;
            case WAIT_OBJECT_0 + 1:
                // Reset first: one signal is one toggle, and a set that arrives while
                // toggling is kept for the next round.
                pauseResumeEvent.Reset();
                if (accepting)
                    dataServer->StopAcceptingConnections();
                else
                    dataServer->StartAcceptingConnections();
                accepting = !accepting;
                break;
            case WAIT_OBJECT_0 + 2: done = true; break;
            default:
                WriteLog("Unexpected result from WaitForMultipleObjects - exiting");
                done = true;
                break;
            }
        }

        ShutdownFlag = 1;
        web.Stop();
        dataServer->Shutdown();
        stationStop.Stop();
        // Leaving the block destroys the named events, then the server and the pool.
    } catch (const CException &e) {
        WriteLog("Exception: " + e.GetWhere() + " - " + e.GetMessage());
    } catch (...) {
        WriteLog("Unexpected exception");
    }

    HANDLE hStopEvent = m_hStopEvent.exchange(nullptr);
    if (hStopEvent)
        CloseHandle(hStopEvent);
    m_bStopRequested = false;
}
