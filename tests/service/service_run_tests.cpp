// The service run: configuration, start-up order, the wait for the stop request, shutdown
// order and failures, with recording data-server and station blocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/Globals.h"
#include "service/KALMeteoService.h"
#include "service/Log.h"
#include "tests/service/NotifySocket.h"
#include "tests/service/RecordingBlocks.h"
#include "win32/Exception.h"

namespace {

using Calls = std::vector<std::string>;

class CRunTestService : public CKALMeteoService {
public:
    void SetDebug() { m_dwDebug = 1; }
};

std::string IniPath() { return PathBesideExecutable("Pelmora.ini"); }
std::string LogPath() { return PathBesideExecutable("Pelmora.log"); }

void WriteIni(const std::string &text)
{
    std::ofstream out(IniPath(), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetNamedEvent(const char *name)
{
    HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    ASSERT_NE(nullptr, h) << name;
    SetEvent(h);
    CloseHandle(h);
}

class ServiceRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        Recorded.Clear();
        ShutdownFlag = 0;
        TraceLevel = 0;
        WriteLog("closes the log");
        std::remove(IniPath().c_str());
        std::remove(LogPath().c_str());
    }
    void TearDown() override
    {
        TraceLevel = 0;
        WriteLog("closes the log");
        std::remove(IniPath().c_str());
        std::remove(LogPath().c_str());
        ShutdownFlag = 0;
        Recorded.Clear();
    }

    // A debug run that is asked to stop as soon as its stations are started, so the stop
    // poll finds the stop event signalled at once.
    void RunUntilStations(CRunTestService &service)
    {
        service.SetDebug();
        std::function<void()> more = Recorded.onStations;
        Recorded.onStations = [&service, more] {
            if (more)
                more();
            service.Stop();
        };
        service.Run(0, nullptr);
    }
};

TEST_F(ServiceRun, a_missing_ini_file_gives_the_defaults_and_logging_off)
{
    TraceLevel = 5;
    CRunTestService service;
    RunUntilStations(service);

    EXPECT_EQ(7599, Recorded.settings.listenPort);
    EXPECT_EQ(10u, Recorded.settings.maxPooledSockets);
    EXPECT_EQ(10u, Recorded.settings.maxPooledBuffers);
    EXPECT_EQ(5u, Recorded.settings.minThreads);
    EXPECT_EQ(10u, Recorded.settings.maxThreads);
    EXPECT_EQ(0, TraceLevel);
    EXPECT_EQ(IniPath(), Recorded.iniPath);
    std::ifstream log(LogPath());
    EXPECT_FALSE(log.good());
}

TEST_F(ServiceRun, general_keys_reach_the_data_server_and_trace_switches_logging_on)
{
    WriteIni(
        "[General]\r\nPort=8123\r\nmaxSockets=3\r\nmaxBuffers=4\r\nminThreads=2\r\n"
        "maxThreads=7\r\nTrace=1\r\n");
    CRunTestService service;
    RunUntilStations(service);

    EXPECT_EQ(8123, Recorded.settings.listenPort);
    EXPECT_EQ(3u, Recorded.settings.maxPooledSockets);
    EXPECT_EQ(4u, Recorded.settings.maxPooledBuffers);
    EXPECT_EQ(2u, Recorded.settings.minThreads);
    EXPECT_EQ(7u, Recorded.settings.maxThreads);
    EXPECT_EQ(1, TraceLevel);
}

TEST_F(ServiceRun, a_port_above_65535_reaches_the_server_as_its_low_16_bits)
{
    WriteIni("[General]\nPort=73135\n");  // 65536 + 7599
    CRunTestService service;
    RunUntilStations(service);
    EXPECT_EQ(7599, Recorded.settings.listenPort);
}

TEST_F(ServiceRun, start_up_and_shutdown_happen_in_order)
{
    CRunTestService service;
    RunUntilStations(service);

    EXPECT_EQ((Calls{"start server", "web", "stations", "stop web", "shutdown server",
                     "stop stations", "destroy server"}),
              Recorded.calls);
    // Named events come after the data server, before the stations, and go before the
    // server and pool objects are destroyed.
    EXPECT_FALSE(Recorded.shutdownEventExistedAtServerStart);
    EXPECT_TRUE(Recorded.shutdownEventExistedAtStations);
    EXPECT_FALSE(Recorded.shutdownEventExistedAtServerDestruction);
    EXPECT_EQ(1, Recorded.shutdownFlagAtShutdown);
    EXPECT_EQ(1, Recorded.shutdownFlagAtStationStop);
    EXPECT_EQ(1, ShutdownFlag);
}

TEST_F(ServiceRun, a_signalled_pause_event_toggles_accepting_once)
{
    Recorded.onStations = [] { SetNamedEvent("TarnwickServerPauseResume"); };
    CRunTestService service;
    RunUntilStations(service);
    EXPECT_EQ((Calls{"start server", "web", "stations", "stop accepting", "stop web",
                     "shutdown server", "stop stations", "destroy server"}),
              Recorded.calls);
}

TEST_F(ServiceRun, the_shutdown_event_ends_the_wait_before_any_pause_toggle)
{
    Recorded.onStations = [] {
        SetNamedEvent("TarnwickServerPauseResume");
        SetNamedEvent("TarnwickServerShutdown");
    };
    CRunTestService service;
    RunUntilStations(service);
    EXPECT_EQ((Calls{"start server", "web", "stations", "stop web", "shutdown server",
                     "stop stations", "destroy server"}),
              Recorded.calls);
}

TEST_F(ServiceRun, a_library_exception_is_logged_with_where_and_message_and_nothing_runs)
{
    WriteIni("[General]\nTrace=1\n");
    Recorded.onServerStart = [] {
        throw Tarnwick::Win32::CException("CSocketServer::Start()", "port in use");
    };
    NotifySocket notify;
    ASSERT_TRUE(notify.Bound());
    ScopedEnv env("NOTIFY_SOCKET", notify.Path());
    CRunTestService service;
    LPSTR argv[] = {const_cast<LPSTR>("KALMeteoDataServer"), nullptr};
    CNTService::ServiceMainProc(1, argv);

    EXPECT_EQ(Calls{"start server"}, Recorded.calls);
    EXPECT_EQ(0, ShutdownFlag);
    const std::string line = std::to_string(GetCurrentThreadId()) +
                             ": Exception: CSocketServer::Start() - port in use\r\n";
    EXPECT_EQ("****************New Log*****************\r\n" + line, ReadLog());

    // Start pending, then stopped: the service never reports running.
    EXPECT_EQ(0u, notify.Receive().find("STATUS=Start pending, checkpoint 1,"));
    EXPECT_EQ(0u, notify.Receive().find("STATUS=Start pending, checkpoint 2,"));
    EXPECT_EQ("STATUS=Stopped, checkpoint 0, wait hint 3000 ms", notify.Receive());
    EXPECT_FALSE(notify.HasMessage());
}

TEST_F(ServiceRun, any_other_exception_is_logged_as_unexpected_and_built_objects_are_destroyed)
{
    WriteIni("[General]\nTrace=1\n");
    Recorded.onStations = [] { throw 42; };
    CRunTestService service;
    service.SetDebug();
    service.Run(0, nullptr);

    // Stations that may have started are stopped as at a normal stop.
    EXPECT_EQ(
        (Calls{"start server", "web", "stations", "stop web", "destroy server", "stop stations"}),
        Recorded.calls);
    EXPECT_FALSE(Recorded.shutdownEventExistedAtServerDestruction);
    EXPECT_EQ(1, Recorded.shutdownFlagAtStationStop);
    EXPECT_NE(std::string::npos, ReadLog().find(": Unexpected exception\r\n"));
}

TEST_F(ServiceRun, a_stop_before_the_run_has_its_stop_event_is_not_lost)
{
    CRunTestService service;
    service.SetDebug();
    service.Stop();  // as a console event during start-up would
    service.Run(0, nullptr);
    EXPECT_EQ((Calls{"start server", "web", "stations", "stop web", "shutdown server",
                     "stop stations", "destroy server"}),
              Recorded.calls);
}

TEST_F(ServiceRun, a_stop_request_is_answered_within_the_stop_poll)
{
    NotifySocket notify;
    ASSERT_TRUE(notify.Bound());
    ScopedEnv env("NOTIFY_SOCKET", notify.Path());
    CRunTestService service;
    std::thread serviceThread([] {
        LPSTR argv[] = {const_cast<LPSTR>("KALMeteoDataServer"), nullptr};
        CNTService::ServiceMainProc(1, argv);
    });
    notify.Receive();
    notify.Receive();
    ASSERT_EQ("READY=1\nSTATUS=Running, checkpoint 0, wait hint 3000 ms", notify.Receive());

    auto stopAt = std::chrono::steady_clock::now();
    CNTService::ControlHandlerProc(SERVICE_CONTROL_STOP);
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Stop pending, checkpoint 3, wait hint 11000 ms\n"
        "EXTEND_TIMEOUT_USEC=11000000",
        notify.Receive());
    // The wait for the stations is announced with a hint that covers its 15 s.
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Stop pending, checkpoint 4, wait hint 16000 ms\n"
        "EXTEND_TIMEOUT_USEC=16000000",
        notify.Receive(30000));
    EXPECT_EQ("STATUS=Stopped, checkpoint 0, wait hint 3000 ms", notify.Receive(30000));
    auto waited = std::chrono::steady_clock::now() - stopAt;
    serviceThread.join();

    EXPECT_LT(waited, std::chrono::seconds(20));  // one stop poll is 10 s
    EXPECT_EQ((Calls{"start server", "web", "stations", "stop web", "shutdown server",
                     "stop stations", "destroy server"}),
              Recorded.calls);
}

}  // namespace
