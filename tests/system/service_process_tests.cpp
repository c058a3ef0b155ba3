// The Pelmora program as a process: debug and faceless runs, the dispatcher from a console,
// and the service run under a stand-in for systemd's notify socket.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>

#include "tests/service/NotifySocket.h"
#include "tests/system/service_process.h"

namespace {

using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

class ServiceProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(folder.Path().empty());
        program = CopyPelmora(folder.Path());
    }

    // Runs -d until its console handler is in place, sends `signal`, waits for the end.
    void StopDebugRunWith(int signal, const std::string &expectedOutput)
    {
        PelmoraProcess pelmora(program, {"-d"}, {{"NOTIFY_SOCKET", ""}});
        ASSERT_TRUE(pelmora.Started());
        ASSERT_TRUE(pelmora.WaitForOutput("Debugging Pelmora.\n"));
        ASSERT_TRUE(pelmora.WaitForBlockedSignal(signal));
        auto signalledAt = Clock::now();
        pelmora.Signal(signal);
        ASSERT_TRUE(pelmora.WaitForExit(30000));
        EXPECT_LT(Clock::now() - signalledAt, seconds(20));  // one stop poll is 10 s
        EXPECT_EQ(expectedOutput, pelmora.Output());
        EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();
    }

    TempFolder folder;
    std::string program;
};

TEST_F(ServiceProcess, debug_run_prints_debugging_and_ctrl_c_stops_it_with_exit_code_1)
{
    StopDebugRunWith(SIGINT, "Debugging Pelmora.\nStopping Pelmora.\n");
}

TEST_F(ServiceProcess, ctrl_break_stops_the_debug_run_as_well)
{
    StopDebugRunWith(SIGQUIT, "Debugging Pelmora.\nStopping Pelmora.\n");
}

TEST_F(ServiceProcess, without_pelmora_ini_the_run_writes_no_log)
{
    StopDebugRunWith(SIGINT, "Debugging Pelmora.\nStopping Pelmora.\n");
    EXPECT_FALSE(FileExists(folder.Path() + "/Pelmora.log"));
}

TEST_F(ServiceProcess, closing_the_console_is_not_handled_by_the_debug_run)
{
    PelmoraProcess pelmora(program, {"-d"});
    ASSERT_TRUE(pelmora.WaitForOutput("Debugging Pelmora.\n"));
    ASSERT_TRUE(pelmora.WaitForBlockedSignal(SIGHUP));
    pelmora.Signal(SIGHUP);
    ASSERT_TRUE(pelmora.WaitForExit());
    EXPECT_EQ(SIGHUP, pelmora.TermSignal());
    EXPECT_EQ("Debugging Pelmora.\n", pelmora.Output());
}

TEST_F(ServiceProcess, faceless_run_prints_nothing_and_stops_at_the_end_of_the_session)
{
    for (int signal : {SIGTERM, SIGHUP}) {
        PelmoraProcess pelmora(program, {"-f"});
        ASSERT_TRUE(pelmora.WaitForBlockedSignal(signal));
        pelmora.Signal(signal);
        ASSERT_TRUE(pelmora.WaitForExit());
        EXPECT_EQ(1, pelmora.ExitCode()) << signal;
        EXPECT_EQ("", pelmora.Output()) << signal;
    }
}

TEST_F(ServiceProcess, started_from_a_console_without_switch_it_fails_with_1063_and_exit_code_0)
{
    const std::string events = folder.Path() + "/events.log";
    PelmoraProcess pelmora(program, {}, {{"NOTIFY_SOCKET", ""}, {"PELMORA_EVENT_LOG", events}});
    ASSERT_TRUE(pelmora.WaitForExit());
    EXPECT_EQ(0, pelmora.ExitCode()) << pelmora.Output();
    EXPECT_EQ("", pelmora.Output());
    EXPECT_EQ(
        "KALMeteoDataServer error 0xC0000002 "
        "The service process could not connect to the service controller.\n",
        ReadFile(events));
}

TEST_F(ServiceProcess, ignored_arguments_select_the_dispatcher)
{
    const std::string events = folder.Path() + "/events.log";
    PelmoraProcess pelmora(program, {"-x", "/i", "install", "-I"},
                           {{"NOTIFY_SOCKET", ""}, {"PELMORA_EVENT_LOG", events}});
    ASSERT_TRUE(pelmora.WaitForExit());
    EXPECT_EQ(0, pelmora.ExitCode()) << pelmora.Output();
    EXPECT_EQ("", pelmora.Output());
    EXPECT_NE(std::string::npos, ReadFile(events).find("could not connect"));
}

TEST_F(ServiceProcess, started_by_systemd_it_reports_its_states_and_stops_on_sigterm)
{
    NotifySocket notify;
    ASSERT_TRUE(notify.Bound());
    const std::string events = folder.Path() + "/events.log";
    PelmoraProcess pelmora(program, {},
                           {{"NOTIFY_SOCKET", notify.Path()}, {"PELMORA_EVENT_LOG", events}});
    ASSERT_TRUE(pelmora.Started());

    EXPECT_EQ("STATUS=Start pending, checkpoint 1, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000",
              notify.Receive());
    EXPECT_EQ("STATUS=Start pending, checkpoint 2, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000",
              notify.Receive());
    ASSERT_EQ("READY=1\nSTATUS=Running, checkpoint 0, wait hint 3000 ms", notify.Receive());

    auto stoppedAt = Clock::now();
    pelmora.Signal(SIGTERM);
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Stop pending, checkpoint 3, wait hint 11000 ms\n"
        "EXTEND_TIMEOUT_USEC=11000000",
        notify.Receive());
    // Again before the wait for the station threads.
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Stop pending, checkpoint 4, wait hint 16000 ms\n"
        "EXTEND_TIMEOUT_USEC=16000000",
        notify.Receive(30000));
    EXPECT_EQ("STATUS=Stopped, checkpoint 0, wait hint 3000 ms", notify.Receive(30000));
    ASSERT_TRUE(pelmora.WaitForExit());
    EXPECT_LT(Clock::now() - stoppedAt, seconds(20));
    EXPECT_FALSE(notify.HasMessage());

    // The dispatcher's result once the service has run.
    EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();
    EXPECT_EQ("", pelmora.Output());
    EXPECT_EQ("", ReadFile(events));
}

}  // namespace
