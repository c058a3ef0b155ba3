#include "registry.h"

#include "errors.h"

namespace {
LONG NotImplemented()
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}
}  // namespace

LONG RegCreateKeyA(HKEY, LPCSTR, PHKEY) { return NotImplemented(); }

LONG RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                     LPDWORD)
{
    return NotImplemented();
}

LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return NotImplemented(); }

LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, BYTE *, LPDWORD) { return NotImplemented(); }

LONG RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD) { return NotImplemented(); }

LONG RegDeleteValueA(HKEY, LPCSTR) { return NotImplemented(); }

LONG RegDeleteKeyA(HKEY, LPCSTR) { return NotImplemented(); }

LONG RegCloseKey(HKEY) { return NotImplemented(); }
