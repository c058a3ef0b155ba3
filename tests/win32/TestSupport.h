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
