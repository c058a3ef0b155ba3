#include <gtest/gtest.h>

#include <atomic>

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Thread.h"

using namespace Tarnwick::Win32;

namespace {

class CCountingThread : public CThread {
public:
    explicit CCountingThread(CManualResetEvent &release) : m_release(release) {}
    std::atomic<int> runs{0};

private:
    int Run() override
    {
        ++runs;
        m_release.Wait();
        return 42;
    }
    CManualResetEvent &m_release;
};

class CThrowingThread : public CThread {
    int Run() override { throw CException("CThrowingThread::Run()", "boom"); }
};

class CNeverStarted : public CThread {
    int Run() override { return 7; }
};

DWORD ExitCodeOf(const CThread &thread)
{
    DWORD code = 12345;
    EXPECT_TRUE(GetExitCodeThread(thread.GetHandle(), &code));
    return code;
}

}  // namespace

TEST(Exceptions, win32_exception_carries_the_system_text_for_its_code)
{
    CWin32Exception e("CSocket::CSocket()", WSAENOTSOCK);
    EXPECT_EQ("CSocket::CSocket()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), e.GetError());
    EXPECT_EQ(ErrorText(WSAENOTSOCK), e.GetMessage());
#ifndef _WIN32
    // The posix layer's own table; on Windows the text is the system's, in its language (and
    // Wine has none for the Winsock codes).
    EXPECT_EQ("An operation was attempted on something that is not a socket.\r\n", e.GetMessage());
#endif
}

TEST(Exceptions, error_text_of_an_unknown_code_is_never_empty)
{
    const std::string text = ErrorText(0xDEADBEEF);
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size(), 511u);
}

TEST(Threads, second_start_throws_and_leaves_the_first_thread_running)
{
    CManualResetEvent release(false);
    CCountingThread thread(release);
    thread.Start();
    try {
        thread.Start();
        FAIL() << "second Start did not throw";
    } catch (const CException &e) {
        EXPECT_EQ("CThread::Start()", e.GetWhere());
        EXPECT_EQ("Thread already running - you can only call Start() once!", e.GetMessage());
    }
    EXPECT_FALSE(thread.Wait(0));
    release.Set();
    thread.Wait();
    EXPECT_EQ(1, thread.runs.load());
    EXPECT_EQ(42u, ExitCodeOf(thread));
    EXPECT_TRUE(thread.Wait(0));  // the handle stays usable after the thread ended
}

TEST(Threads, a_throwing_run_ends_its_thread_with_exit_code_zero)
{
    CThrowingThread thread;
    thread.Start();
    EXPECT_TRUE(thread.Wait(10000));
    EXPECT_EQ(0u, ExitCodeOf(thread));
}

TEST(Threads, a_thread_never_started_has_no_handle_and_closes_nothing)
{
    CNeverStarted thread;
    EXPECT_EQ(INVALID_HANDLE_VALUE, thread.GetHandle());
}

TEST(Events, zero_timeout_tests_without_blocking_and_keeps_a_manual_event_signalled)
{
    CManualResetEvent event(false);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(Events, named_events_of_one_name_are_one_event)
{
    CManualResetEvent first("BaseTestsNamedEvent", false);
    CManualResetEvent second("BaseTestsNamedEvent", false);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    first.Set();
    EXPECT_TRUE(second.Wait(0));
}

TEST(Events, pulse_releases_a_waiting_thread_and_leaves_the_event_unsignalled)
{
    CManualResetEvent event(false);
    CManualResetEvent waiting(false);
    std::atomic<bool> released{false};
    class CWaiter : public CThread {
    public:
        CWaiter(CManualResetEvent &e, CManualResetEvent &w, std::atomic<bool> &r)
            : m_e(e), m_w(w), m_r(r)
        {
        }

    private:
        int Run() override
        {
            m_w.Set();
            m_e.Wait();
            m_r = true;
            return 0;
        }
        CManualResetEvent &m_e, &m_w;
        std::atomic<bool> &m_r;
    } waiter(event, waiting, released);
    waiter.Start();
    waiting.Wait();
    // The waiter may not have blocked yet; pulse until it has been released.
    while (!waiter.Wait(10))
        event.Pulse();
    EXPECT_TRUE(released.load());
    EXPECT_FALSE(event.Wait(0));
}

TEST(CriticalSections, are_recursive_for_their_owner_and_exclude_others)
{
    CCriticalSection section;
    CCriticalSectionGuard outer(section);
    {
        CCriticalSectionGuard inner(section);
        EXPECT_TRUE(section.TryEnter());
        section.Leave();
    }
    std::atomic<int> otherGotIt{-1};
    class CProbe : public CThread {
    public:
        CProbe(CCriticalSection &s, std::atomic<int> &r) : m_s(s), m_r(r) {}

    private:
        int Run() override
        {
            const bool got = m_s.TryEnter();
            if (got)
                m_s.Leave();
            m_r = got ? 1 : 0;
            return 0;
        }
        CCriticalSection &m_s;
        std::atomic<int> &m_r;
    } probe(section, otherGotIt);
    probe.Start();
    probe.Wait();
    EXPECT_EQ(0, otherGotIt.load());
}
