// Console events from signals: handlers run on a thread of the platform layer, last installed
// first, and an event nobody handles ends the process as the signal would.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

std::mutex seenLock;
std::vector<std::string> seen;
// Read by the platform's handler thread: atomic, since futures are opaque to race detectors.
std::atomic<std::promise<void> *> done{nullptr};

void Seen(const std::string &what)
{
    std::lock_guard<std::mutex> guard(seenLock);
    seen.push_back(what);
}

std::atomic<std::thread::id> mainThread;

void ClearSeen()
{
    std::lock_guard<std::mutex> guard(seenLock);
    seen.clear();
}

BOOL WINAPI Declines(DWORD event)
{
    Seen("declines " + std::to_string(event));
    return FALSE;
}

BOOL WINAPI Takes(DWORD event)
{
    Seen("takes " + std::to_string(event) +
         (std::this_thread::get_id() == mainThread.load() ? " on main" : " elsewhere"));
    done.load()->set_value();
    return TRUE;
}

class ConsoleEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        mainThread = std::this_thread::get_id();
        ClearSeen();
    }

    std::vector<std::string> RaiseAndWait(int signal)
    {
        std::promise<void> handled;
        done = &handled;
        kill(getpid(), signal);
        EXPECT_EQ(std::future_status::ready,
                  handled.get_future().wait_for(std::chrono::seconds(20)));
        done = nullptr;
        std::lock_guard<std::mutex> guard(seenLock);
        return seen;
    }
};

TEST_F(ConsoleEvents, signals_become_console_events_handled_last_installed_first)
{
    ASSERT_TRUE(SetConsoleCtrlHandler(Takes, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(Declines, TRUE));

    EXPECT_EQ((std::vector<std::string>{"declines 0", "takes 0 elsewhere"}), RaiseAndWait(SIGINT));
    ClearSeen();
    EXPECT_EQ((std::vector<std::string>{"declines 1", "takes 1 elsewhere"}), RaiseAndWait(SIGQUIT));
    ClearSeen();
    EXPECT_EQ((std::vector<std::string>{"declines 2", "takes 2 elsewhere"}), RaiseAndWait(SIGHUP));
    ClearSeen();
    EXPECT_EQ((std::vector<std::string>{"declines 6", "takes 6 elsewhere"}), RaiseAndWait(SIGTERM));

    ASSERT_TRUE(SetConsoleCtrlHandler(Declines, FALSE));
    ClearSeen();
    EXPECT_EQ((std::vector<std::string>{"takes 0 elsewhere"}), RaiseAndWait(SIGINT));
    EXPECT_TRUE(SetConsoleCtrlHandler(Takes, FALSE));
}

TEST_F(ConsoleEvents, removing_a_handler_that_is_not_installed_fails)
{
    EXPECT_FALSE(SetConsoleCtrlHandler(Declines, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(SetConsoleCtrlHandler(nullptr, TRUE));
}

TEST(ConsoleEventsDeathTest, an_event_no_handler_takes_ends_the_process_by_its_signal)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(Declines, TRUE);
            kill(getpid(), SIGTERM);
            for (;;)
                pause();
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

TEST(ConsoleWindow, a_process_here_always_has_its_console_already)
{
    EXPECT_FALSE(AllocConsole());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(FreeConsole());
}

}  // namespace
