#include "win32/Thread.h"

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CThread::CThread() : m_hThread(INVALID_HANDLE_VALUE) {}

CThread::~CThread()
{
    if (m_hThread != INVALID_HANDLE_VALUE)
        CloseHandle(m_hThread);
}

void CThread::Start()
{
    if (m_hThread != INVALID_HANDLE_VALUE)
        throw CException("CThread::Start()",
                         "Thread already running - you can only call Start() once!");

    unsigned int threadID = 0;
    const uintptr_t result = _beginthreadex(nullptr, 0, ThreadFunction, this, 0, &threadID);
    if (result == 0)
        throw CWin32Exception("CThread::Start() - _beginthreadex", GetLastError());
    m_hThread = reinterpret_cast<HANDLE>(result);
}

void CThread::Wait() const
{
    if (!Wait(INFINITE))
        throw CException("CThread::Wait()", "Unexpected timeout on infinite wait");
}

bool CThread::Wait(DWORD timeoutMillis) const
{
    const DWORD result = WaitForSingleObject(m_hThread, timeoutMillis);
    if (result == WAIT_TIMEOUT)
        return false;
    if (result != WAIT_OBJECT_0)
        throw CWin32Exception("CThread::Wait() - WaitForSingleObject", GetLastError());
    return true;
}

void CThread::Terminate(DWORD exitCode)
{
    if (m_hThread != INVALID_HANDLE_VALUE)
        TerminateThread(m_hThread, exitCode);
}

unsigned int __stdcall CThread::ThreadFunction(void *pV)
{
    int result = 0;
    CThread *pThis = static_cast<CThread *>(pV);
    if (pThis) {
        try {
            result = pThis->Run();
        } catch (...) {
            // Run() reports its own failures; an escaped exception only ends the thread.
            result = 0;
        }
    }
    return static_cast<unsigned int>(result);
}

}  // namespace Win32
}  // namespace Tarnwick
