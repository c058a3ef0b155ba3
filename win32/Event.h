// Kernel events. Every event of the library is a manual-reset one.
#pragma once

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CEvent {
public:
    CEvent(LPSECURITY_ATTRIBUTES lpSecurityAttributes, bool manualReset, bool initialState,
           const char *name = nullptr);
    virtual ~CEvent();

    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    HANDLE GetHandle() const { return m_hEvent; }

    void Set();
    void Reset();
    void Pulse();

    void Wait() const;
    // True when the event was signalled within the time; 0 tests it without blocking.
    bool Wait(DWORD timeoutMillis) const;

private:
    HANDLE m_hEvent;
};

class CManualResetEvent : public CEvent {
public:
    explicit CManualResetEvent(bool initialState = false);
    CManualResetEvent(const char *name, bool initialState = false);
    ~CManualResetEvent() override;
};

}  // namespace Win32
}  // namespace Tarnwick
