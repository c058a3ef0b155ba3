// A small library for the module tests: it reports its own file name, as the driver does.
#include "platform/win32.h"

extern "C" __attribute__((visibility("default"))) int ProbeAnswer() { return 42; }

extern "C" __attribute__((visibility("default"))) DWORD ProbeOwnPath(char *buffer, DWORD size)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&ProbeAnswer), &self))
        return 0;
    return GetModuleFileNameA(self, buffer, size);
}
