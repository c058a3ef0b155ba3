// Sequencing helpers for the concurrent tests of the library: counters that can be waited for.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "win32/CriticalSection.h"
#include "win32/Event.h"

namespace PelmoraTest {

// Generous bound for anything that should happen promptly.
constexpr DWORD kPromptly = 20000;

// True when the Windows build runs under Wine (its ntdll exports wine_get_version).
inline bool UnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// Whether closing a socket with a zero linger time resets the connection, as Windows documents
// and the posix layer does. Wine (8.0) ends such a connection in order instead.
inline bool AbortiveCloseResets() { return !UnderWine(); }

// The error with which an overlapped I/O completes when its socket is closed underneath it:
// WSA_OPERATION_ABORTED (995), as Windows documents; Wine reports ERROR_HANDLES_CLOSED (676).
inline bool IsClosedUnderneath(DWORD error)
{
    return error == ERROR_OPERATION_ABORTED || (UnderWine() && error == 676);
}

// A counter whose value another thread can wait for.
class CCounter {
public:
    void Increment()
    {
        Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
        ++m_value;
        m_changed.Set();
    }

    int Value()
    {
        Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
        return m_value;
    }

    // True once the value is at least `target`; false when the time ran out first.
    bool WaitFor(int target, DWORD timeoutMillis = kPromptly)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            {
                Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
                if (m_value >= target)
                    return true;
                m_changed.Reset();
            }
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMillis || !m_changed.Wait(timeoutMillis - elapsed)) {
                Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
                return m_value >= target;
            }
        }
    }

    // Re-evaluates `condition` each time the counter moves, until it holds or time runs out.
    bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMillis = kPromptly)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            const int seen = Value();
            if (condition())
                return true;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMillis || !WaitFor(seen + 1, timeoutMillis - elapsed))
                return condition();
        }
    }

private:
    Tarnwick::Win32::CCriticalSection m_lock;
    Tarnwick::Win32::CManualResetEvent m_changed{false};
    int m_value = 0;
};

// A list of texts appended from several threads.
class CLog {
public:
    void Add(const std::string &text)
    {
        Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
        m_entries.push_back(text);
    }
    std::vector<std::string> Entries()
    {
        Tarnwick::Win32::CCriticalSectionGuard guard(m_lock);
        return m_entries;
    }

private:
    Tarnwick::Win32::CCriticalSection m_lock;
    std::vector<std::string> m_entries;
};

}  // namespace PelmoraTest
