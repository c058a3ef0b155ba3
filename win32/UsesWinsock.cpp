#include "win32/UsesWinsock.h"

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CUsesWinsock::CUsesWinsock()
{
    // WSAStartup returns its error; the last error is not set when Winsock does not start.
    const int result = WSAStartup(0x0202, &m_data);
    if (result != 0)
        throw CWin32Exception("CUsesWinsock::CUsesWinsock()", static_cast<DWORD>(result));
}

CUsesWinsock::~CUsesWinsock() { WSACleanup(); }

}  // namespace Win32
}  // namespace Tarnwick
