// The exception types of the whole program: where an operation failed and what went wrong.
#pragma once

#include <string>

#include "platform/win32.h"

namespace Tarnwick {
namespace Win32 {

class CException {
public:
    CException(const std::string &where, const std::string &message);
    virtual ~CException();

    virtual std::string GetWhere() const;
    virtual std::string GetMessage() const;

protected:
    std::string m_where;
    std::string m_message;
};

// A failed system call; the message is the system's text for the error code.
class CWin32Exception : public CException {
public:
    CWin32Exception(const std::string &where, DWORD error);
    ~CWin32Exception() override;

    DWORD GetError() const;

protected:
    DWORD m_error;
};

// The system's message text for a Windows or Winsock error code, as the system gives it
// (including any trailing line break), at most 511 characters.
std::string ErrorText(DWORD error);

}  // namespace Win32
}  // namespace Tarnwick
