// Winsock started for as long as the object lives: a base of whatever owns sockets, so that
// Winsock is started before its first socket and cleaned up after its last.
#pragma once

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CUsesWinsock {
public:
    // Starts Winsock 2.2.
    CUsesWinsock();
    ~CUsesWinsock();

    CUsesWinsock(const CUsesWinsock &) = delete;
    CUsesWinsock &operator=(const CUsesWinsock &) = delete;

private:
    WSADATA m_data;
};

}  // namespace Win32
}  // namespace Tarnwick
