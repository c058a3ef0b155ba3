#include "tests/service/RecordingBlocks.h"

#include "service/Globals.h"
#include "service/StationBlock.h"
#include "service/WebBlock.h"

RecordedRun Recorded;

namespace {

bool ShutdownEventExists()
{
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, "TarnwickServerShutdown");
    if (!h)
        return false;
    CloseHandle(h);
    return true;
}

class CRecordingDataServer : public CDataServer {
public:
    ~CRecordingDataServer() override
    {
        Recorded.calls.push_back("destroy server");
        Recorded.shutdownEventExistedAtServerDestruction = ShutdownEventExists();
    }
    void StartAcceptingConnections() override { Recorded.calls.push_back("start accepting"); }
    void StopAcceptingConnections() override { Recorded.calls.push_back("stop accepting"); }
    void Shutdown() override
    {
        Recorded.calls.push_back("shutdown server");
        Recorded.shutdownFlagAtShutdown = ShutdownFlag;
    }
};

}  // namespace

std::unique_ptr<CDataServer> StartDataServer(const DataServerSettings &settings)
{
    Recorded.calls.push_back("start server");
    Recorded.settings = settings;
    Recorded.shutdownEventExistedAtServerStart = ShutdownEventExists();
    if (Recorded.onServerStart)
        Recorded.onServerStart();
    return std::make_unique<CRecordingDataServer>();
}

void StartStationBlock(const char *szFNINI)
{
    Recorded.calls.push_back("stations");
    Recorded.iniPath = szFNINI;
    Recorded.shutdownEventExistedAtStations = ShutdownEventExists();
    if (Recorded.onStations)
        Recorded.onStations();
}

void StopStationBlock()
{
    Recorded.calls.push_back("stop stations");
    Recorded.shutdownFlagAtStationStop = ShutdownFlag;
}

void StartWebBlock(const char *) { Recorded.calls.push_back("web"); }

void StopWebBlock() { Recorded.calls.push_back("stop web"); }
