#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

CException::CException(const std::string &where, const std::string &message)
    : m_where(where), m_message(message)
{
}

CException::~CException() = default;

std::string CException::GetWhere() const { return m_where; }

std::string CException::GetMessage() const { return m_message; }

CWin32Exception::CWin32Exception(const std::string &where, DWORD error)
    : CException(where, ErrorText(error)), m_error(error)
{
}

CWin32Exception::~CWin32Exception() = default;

DWORD CWin32Exception::GetError() const { return m_error; }

namespace {

// One lookup; false when the system has no text for the code.
bool LookupText(DWORD error, std::string &text)
{
    char buffer[512];  // 511 characters and the terminator, on the caller's own stack
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof(buffer), nullptr);
    if (length == 0)
        return false;
    text.assign(buffer, length);
    return true;
}

}  // namespace

std::string ErrorText(DWORD error)
{
    std::string text;
    if (LookupText(error, text))
        return text;
    // The text of the lookup's own failure, tried once: a failing fallback ends here.
    const DWORD lookupError = GetLastError();
    if (lookupError != error && LookupText(lookupError, text))
        return text;
    char fallback[64];
    snprintf(fallback, sizeof(fallback), "Error %lu\r\n", static_cast<unsigned long>(error));
    return fallback;
}

}  // namespace Win32
}  // namespace Tarnwick
