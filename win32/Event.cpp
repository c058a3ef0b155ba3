#include "win32/Event.h"

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CEvent::CEvent(LPSECURITY_ATTRIBUTES lpSecurityAttributes, bool manualReset, bool initialState,
               const char *name)
    : m_hEvent(CreateEventA(lpSecurityAttributes, manualReset, initialState, name))
{
    if (m_hEvent == nullptr)
        throw CWin32Exception("CEvent::Create()", GetLastError());
}

CEvent::~CEvent() { CloseHandle(m_hEvent); }

void CEvent::Set()
{
    if (!SetEvent(m_hEvent))
        throw CWin32Exception("CEvent::Set()", GetLastError());
}

void CEvent::Reset()
{
    if (!ResetEvent(m_hEvent))
        throw CWin32Exception("CEvent::Reset()", GetLastError());
}

void CEvent::Pulse()
{
    if (!PulseEvent(m_hEvent))
        throw CWin32Exception("CEvent::Pulse()", GetLastError());
}

void CEvent::Wait() const
{
    if (!Wait(INFINITE))
        throw CException("CEvent::Wait()", "Unexpected timeout on infinite wait");
}

bool CEvent::Wait(DWORD timeoutMillis) const
{
    const DWORD result = WaitForSingleObject(m_hEvent, timeoutMillis);
    if (result == WAIT_TIMEOUT)
        return false;
    if (result != WAIT_OBJECT_0)
        throw CWin32Exception("CEvent::Wait() - WaitForSingleObject", GetLastError());
    return true;
}

CManualResetEvent::CManualResetEvent(bool initialState) : CEvent(nullptr, true, initialState) {}

CManualResetEvent::CManualResetEvent(const char *name, bool initialState)
    : CEvent(nullptr, true, initialState, name)
{
}

CManualResetEvent::~CManualResetEvent() = default;

}  // namespace Win32
}  // namespace Tarnwick
