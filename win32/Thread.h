// A thread whose work is the virtual Run(); the object must outlive its thread.
#pragma once

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CThread {
public:
    CThread();
    virtual ~CThread();

    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    HANDLE GetHandle() const { return m_hThread; }

    // Starts the thread; a second call throws.
    void Start();

    void Wait() const;
    // True when the thread ended within the time.
    bool Wait(DWORD timeoutMillis) const;

    // Ends the thread at once. Where threads cannot be killed safely the platform abandons
    // it instead: it counts as ended, and this object must stay alive while it runs on.
    void Terminate(DWORD exitCode = 0);

private:
    virtual int Run() = 0;

    static unsigned int __stdcall ThreadFunction(void *pV);

    HANDLE m_hThread;
};

}  // namespace Win32
}  // namespace Tarnwick
