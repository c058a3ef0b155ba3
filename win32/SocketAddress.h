// The text form of a socket address, made once: "a.b.c.d:port" for IPv4.
#pragma once

#include <string>

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CSocketAddress {
public:
    explicit CSocketAddress(const SOCKADDR *pSockAddr);

    std::string AsString() const { return m_address; }

private:
    std::string m_address;
};

}  // namespace Win32
}  // namespace Tarnwick
