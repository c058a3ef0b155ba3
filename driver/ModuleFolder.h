// Files beside a driver library: configuration lives in the library's own folder, not in the
// service's folder or the working directory.
#pragma once

#include "platform/win32.h"

#include <cstdio>

// The module that holds pAnchor (an address inside it), or null.
inline HMODULE ModuleOf(const void *pAnchor)
{
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(pAnchor), &hModule))
        return nullptr;
    return hModule;
}

// Drive and folder of the module's file joined with szName. Without a module path the name
// stands alone.
inline void BesideModule(HMODULE hModule, const char *szName, char (&szPath)[MAX_PATH])
{
    char szModule[MAX_PATH] = "";
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    if (hModule == nullptr || GetModuleFileNameA(hModule, szModule, MAX_PATH) == 0)
        szModule[0] = '\0';
    _splitpath(szModule, szDrive, szDir, nullptr, nullptr);
    std::snprintf(szPath, MAX_PATH, "%s%s%s", szDrive, szDir, szName);
}
