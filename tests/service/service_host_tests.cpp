// The service host on systemd: status reports through the notify socket, control handling,
// console events and the event log.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service/NTService.h"
#include "tests/service/NotifySocket.h"

namespace {

const char kStartPending1[] =
    "STATUS=Start pending, checkpoint 1, wait hint 3000 ms\n"
    "EXTEND_TIMEOUT_USEC=3000000";
const char kStartPending2[] =
    "STATUS=Start pending, checkpoint 2, wait hint 3000 ms\n"
    "EXTEND_TIMEOUT_USEC=3000000";
const char kRunning[] = "READY=1\nSTATUS=Running, checkpoint 0, wait hint 3000 ms";
const char kStopPending3[] =
    "STOPPING=1\nSTATUS=Stop pending, checkpoint 3, wait hint 11000 ms\n"
    "EXTEND_TIMEOUT_USEC=11000000";
const char kStopped[] = "STATUS=Stopped, checkpoint 0, wait hint 3000 ms";

// A service whose run reports as the weather service's does, then takes controls as the
// service manager would send them, and records what it saw.
class CHostTestService : public CNTService {
public:
    CHostTestService() : CNTService("KALMeteoDataServer", "Pelmora") {}

    void Run(DWORD argc, LPSTR *argv) override
    {
        ++runs;
        runArgs.assign(argv, argv + argc);
        acceptedWhileStarting = m_Status.dwControlsAccepted;
        SetStatus(SERVICE_START_PENDING, 3000, 0);
        SetStatus(SERVICE_RUNNING, 3000, 0);
        acceptedWhileRunning = m_Status.dwControlsAccepted;
        for (DWORD control : controls)
            ControlHandlerProc(control);
    }
    void Stop() override
    {
        ++stops;
        stateSeenByStop = m_Status.dwCurrentState;
        SetStatus(SERVICE_STOP_PENDING, 11000, 0);
    }
    void Pause() override { ++pauses; }
    void Continue() override { ++continues; }
    void OnSystemShutdown() override { ++shutdowns; }

    void SetDebug() { m_dwDebug = 1; }
    const SERVICE_STATUS &Status() const { return m_Status; }

    std::vector<DWORD> controls;
    int runs = 0, stops = 0, pauses = 0, continues = 0, shutdowns = 0;
    std::vector<std::string> runArgs;
    DWORD acceptedWhileStarting = 99, acceptedWhileRunning = 99, stateSeenByStop = 0;
};

std::string ReadAndRemove(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    in.close();
    std::remove(path.c_str());
    return text.str();
}

class ServiceHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(notify.Bound());
        std::remove(eventLogPath.c_str());
    }

    void RunServiceMain(const char *name = "KALMeteoDataServer")
    {
        LPSTR argv[] = {const_cast<LPSTR>(name), nullptr};
        CNTService::ServiceMainProc(1, argv);
    }

    NotifySocket notify;
    ScopedEnv notifyEnv{"NOTIFY_SOCKET", notify.Path()};
    std::string eventLogPath = "service_host_events.log";
    ScopedEnv eventLogEnv{"PELMORA_EVENT_LOG", eventLogPath};
};

TEST_F(ServiceHost, a_service_run_reports_start_pending_running_stop_pending_and_stopped)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_STOP};
    RunServiceMain();

    EXPECT_EQ(1, service.runs);
    EXPECT_EQ(kStartPending1, notify.Receive());
    EXPECT_EQ(kStartPending2, notify.Receive());
    EXPECT_EQ(kRunning, notify.Receive());
    EXPECT_EQ(kStopPending3, notify.Receive());
    EXPECT_EQ(kStopped, notify.Receive());
    EXPECT_FALSE(notify.HasMessage());
    EXPECT_EQ("", ReadAndRemove(eventLogPath));
}

TEST_F(ServiceHost, stop_is_accepted_in_every_state_but_start_pending)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_STOP};
    RunServiceMain();
    EXPECT_EQ(0u, service.acceptedWhileStarting);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), service.acceptedWhileRunning);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), service.Status().dwControlsAccepted);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status().dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), service.Status().dwServiceType);
}

TEST_F(ServiceHost, the_stop_control_marks_stop_pending_before_calling_stop)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_STOP};
    RunServiceMain();
    EXPECT_EQ(1, service.stops);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), service.stateSeenByStop);
}

TEST_F(ServiceHost, run_receives_the_service_start_parameters)
{
    CHostTestService service;
    RunServiceMain("KALMeteoDataServer");
    ASSERT_EQ(1u, service.runArgs.size());
    EXPECT_EQ("KALMeteoDataServer", service.runArgs[0]);
}

TEST_F(ServiceHost, interrogate_reports_the_current_state_again)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP};
    RunServiceMain();
    EXPECT_EQ(kStartPending1, notify.Receive());
    EXPECT_EQ(kStartPending2, notify.Receive());
    EXPECT_EQ(kRunning, notify.Receive());
    EXPECT_EQ(kRunning, notify.Receive());
    EXPECT_EQ(kStopPending3, notify.Receive());
    EXPECT_EQ(kStopped, notify.Receive());
}

TEST_F(ServiceHost, pause_continue_and_shutdown_reach_their_operations_and_others_are_ignored)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                        0x80, 0x0F};
    RunServiceMain();
    EXPECT_EQ(1, service.pauses);
    EXPECT_EQ(1, service.continues);
    EXPECT_EQ(1, service.shutdowns);
    EXPECT_EQ(0, service.stops);
}

TEST_F(ServiceHost, the_checkpoint_counter_is_never_reset)
{
    CHostTestService service;
    service.controls = {SERVICE_CONTROL_STOP};
    RunServiceMain();
    RunServiceMain();
    std::vector<std::string> messages;
    while (notify.HasMessage())
        messages.push_back(notify.Receive());
    ASSERT_EQ(10u, messages.size());
    EXPECT_EQ(
        "STATUS=Start pending, checkpoint 4, wait hint 3000 ms\n"
        "EXTEND_TIMEOUT_USEC=3000000",
        messages[5]);
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Stop pending, checkpoint 6, wait hint 11000 ms\n"
        "EXTEND_TIMEOUT_USEC=11000000",
        messages[8]);
    EXPECT_EQ(kStopped, messages[9]);
}

TEST_F(ServiceHost, a_nonzero_exit_code_reports_a_service_specific_error)
{
    CHostTestService service;
    RunServiceMain();
    while (notify.HasMessage())
        notify.Receive();
    EXPECT_TRUE(service.SetStatus(SERVICE_STOPPED, 0, 42));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), service.Status().dwWin32ExitCode);
    EXPECT_EQ(42u, service.Status().dwServiceSpecificExitCode);
    EXPECT_EQ("STATUS=Stopped, checkpoint 0, wait hint 0 ms\nERRNO=42", notify.Receive());
}

TEST_F(ServiceHost, in_debug_mode_every_report_succeeds_and_nothing_is_sent)
{
    CHostTestService service;
    service.SetDebug();
    service.controls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP};
    RunServiceMain();
    EXPECT_EQ(1, service.runs);
    EXPECT_EQ(1, service.stops);
    EXPECT_TRUE(service.SetStatus(SERVICE_RUNNING, 3000, 0));
    EXPECT_FALSE(notify.HasMessage());
    EXPECT_EQ("", ReadAndRemove(eventLogPath));
}

TEST_F(ServiceHost, without_the_service_manager_run_is_not_called_and_nothing_is_reported)
{
    unsetenv("NOTIFY_SOCKET");
    CHostTestService service;
    RunServiceMain();
    EXPECT_EQ(0, service.runs);
    EXPECT_FALSE(notify.HasMessage());
    EXPECT_EQ("", ReadAndRemove(eventLogPath));
}

TEST_F(ServiceHost, a_failed_start_pending_report_skips_run_and_still_reports_stopped)
{
    ScopedEnv broken("NOTIFY_SOCKET", notify.Path() + ".missing");
    CHostTestService service;
    RunServiceMain();
    EXPECT_EQ(0, service.runs);
    // Both the start-pending and the stopped report failed, each logged as an error.
    EXPECT_EQ(
        "KALMeteoDataServer error 0xC0000002 SetServiceStatus() failed\n"
        "KALMeteoDataServer error 0xC0000002 SetServiceStatus() failed\n",
        ReadAndRemove(eventLogPath));
}

TEST_F(ServiceHost, the_dispatcher_started_from_a_console_fails_with_1063_in_the_event_log)
{
    unsetenv("NOTIFY_SOCKET");
    CHostTestService service;
    EXPECT_FALSE(service.StartDispatcher());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), GetLastError());
    EXPECT_EQ(0, service.runs);
    EXPECT_EQ(
        "KALMeteoDataServer error 0xC0000002 "
        "The service process could not connect to the service controller.\n",
        ReadAndRemove(eventLogPath));
}

TEST_F(ServiceHost, event_ids_are_derived_from_the_event_type)
{
    CHostTestService service;
    service.ReportToEventLog("e", EVENTLOG_ERROR_TYPE, static_cast<DWORD>(-1));
    service.ReportToEventLog("w", EVENTLOG_WARNING_TYPE, static_cast<DWORD>(-1));
    service.ReportToEventLog("i", EVENTLOG_INFORMATION_TYPE, static_cast<DWORD>(-1));
    service.ReportToEventLog("s", EVENTLOG_AUDIT_SUCCESS, static_cast<DWORD>(-1));
    service.ReportToEventLog("f", EVENTLOG_AUDIT_FAILURE, static_cast<DWORD>(-1));
    service.ReportToEventLog("x", 3, static_cast<DWORD>(-1));
    service.ReportToEventLog("given", EVENTLOG_WARNING_TYPE, MSG_SERVICE_TEXT);
    EXPECT_EQ(
        "KALMeteoDataServer error 0xC0000002 e\n"
        "KALMeteoDataServer warning 0x80000001 w\n"
        "KALMeteoDataServer information 0x40000000 i\n"
        "KALMeteoDataServer audit-success 0x40000000 s\n"
        "KALMeteoDataServer audit-failure 0x40000000 f\n"
        "KALMeteoDataServer information 0x40000000 x\n"
        "KALMeteoDataServer warning 0x00000003 given\n",
        ReadAndRemove(eventLogPath));
}

TEST(ServiceHostText, last_error_text_drops_the_line_break_and_needs_14_spare_characters)
{
    CHostTestService service;
    const std::string text = "The service process could not connect to the service controller.";
    char buffer[256];

    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(text, service.LastErrorText(buffer, sizeof buffer));

    // The system's text is the one above plus CR LF.
    const DWORD fits = static_cast<DWORD>(text.size() + 2 + 14);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(text, service.LastErrorText(buffer, fits));
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ("", std::string(service.LastErrorText(buffer, fits - 1)));
}

TEST(ServiceHostText, last_error_text_is_empty_for_a_code_without_text)
{
    CHostTestService service;
    char buffer[256] = "stale";
    SetLastError(0x2FFFFFFF);
    EXPECT_EQ("", std::string(service.LastErrorText(buffer, sizeof buffer)));
}

TEST(ServiceHostConsole, ctrl_c_and_ctrl_break_print_stopping_and_stop_the_service)
{
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        CHostTestService service;
        service.SetDebug();
        ::testing::internal::CaptureStdout();
        BOOL handled = CNTService::ConsoleCtrlProc(event);
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(handled);
        EXPECT_EQ("Stopping Pelmora.\n", printed);
        EXPECT_EQ(1, service.stops);
    }
}

TEST(ServiceHostConsole, a_ctrl_c_after_the_debug_run_ended_stops_nothing)
{
    // It may come while main destroys the service object.
    CHostTestService service;
    service.SetDebug();
    char program[] = "Pelmora";
    char *argv[] = {program, nullptr};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(1, service.DebugRun(1, argv, FALSE));
    EXPECT_TRUE(CNTService::ConsoleCtrlProc(CTRL_C_EVENT));
    EXPECT_EQ("Debugging Pelmora.\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, service.runs);
    EXPECT_EQ(0, service.stops);
}

TEST(ServiceHostConsole, other_console_events_are_left_to_the_next_handler)
{
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        CHostTestService service;
        service.SetDebug();
        ::testing::internal::CaptureStdout();
        BOOL handled = CNTService::ConsoleCtrlProc(event);
        EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
        EXPECT_FALSE(handled);
        EXPECT_EQ(0, service.stops);
    }
}

TEST(ServiceHostConsole, the_faceless_run_stops_at_the_end_of_the_session_only)
{
    CHostTestService service;
    service.SetDebug();
    EXPECT_FALSE(CNTService::FacelessCtrlProc(CTRL_C_EVENT));
    EXPECT_FALSE(CNTService::FacelessCtrlProc(CTRL_BREAK_EVENT));
    EXPECT_EQ(0, service.stops);
    EXPECT_TRUE(CNTService::FacelessCtrlProc(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(CNTService::FacelessCtrlProc(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(2, service.stops);
}

TEST(ServiceHostInstance, the_one_service_object_is_reachable_while_it_lives)
{
    EXPECT_EQ(nullptr, CNTService::Instance);
    {
        CHostTestService service;
        EXPECT_EQ(&service, CNTService::Instance);
    }
    EXPECT_EQ(nullptr, CNTService::Instance);
}

}  // namespace
