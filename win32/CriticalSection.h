// A recursive critical section and the scoped guard through which every lock is taken.
#pragma once

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CCriticalSection {
public:
    CCriticalSection();
    ~CCriticalSection();

    CCriticalSection(const CCriticalSection &) = delete;
    CCriticalSection &operator=(const CCriticalSection &) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    CRITICAL_SECTION m_crit;
};

class CCriticalSectionGuard {
public:
    explicit CCriticalSectionGuard(CCriticalSection &section) : m_section(section)
    {
        m_section.Enter();
    }
    ~CCriticalSectionGuard() { m_section.Leave(); }

    CCriticalSectionGuard(const CCriticalSectionGuard &) = delete;
    CCriticalSectionGuard &operator=(const CCriticalSectionGuard &) = delete;

private:
    CCriticalSection &m_section;
};

}  // namespace Win32
}  // namespace Tarnwick
