#include "win32/SocketAddress.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace Tarnwick {
namespace Win32 {

CSocketAddress::CSocketAddress(const SOCKADDR *pSockAddr)
{
    // Read by copying: the address may sit unaligned at the start of a buffer's payload.
    decltype(SOCKADDR::sa_family) family;
    std::memcpy(&family, reinterpret_cast<const char *>(pSockAddr) + offsetof(SOCKADDR, sa_family),
                sizeof(family));
    if (family != AF_INET) {
        m_address = "CSocketAddress() - TODO - we only handle AF_INET address at present";
        return;
    }
    SOCKADDR_IN address;
    std::memcpy(&address, pSockAddr, sizeof(address));
    char port[8];
    std::snprintf(port, sizeof(port), "%u", static_cast<unsigned>(ntohs(address.sin_port)));
    m_address = inet_ntoa(address.sin_addr);
    m_address += ":";
    m_address += port;
}

}  // namespace Win32
}  // namespace Tarnwick
