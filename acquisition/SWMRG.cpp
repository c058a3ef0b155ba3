#include "acquisition/SWMRG.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t NameBufferSize = 100;

// Forms prefix+name in the 100-character buffer; false when it does not fit.
bool FormName(char (&szBuffer)[NameBufferSize], const char *pszPrefix, const char *pszName)
{
    if (std::strlen(pszPrefix) + std::strlen(pszName) >= NameBufferSize) {
        return false;
    }
    std::snprintf(szBuffer, sizeof(szBuffer), "%s%s", pszPrefix, pszName);
    return true;
}

void CloseIfSet(HANDLE &h)
{
    if (h != nullptr) {
        CloseHandle(h);
        h = nullptr;
    }
}

}  // namespace

bool Initialize(SWMRG *pGuard, LPCSTR pszName)
{
    pGuard->hMutexNoWriter = nullptr;
    pGuard->hEventNoReaders = nullptr;
    pGuard->hSemNumReaders = nullptr;

    char szName[NameBufferSize];

    if (pszName == nullptr) {
        pGuard->hMutexNoWriter = CreateMutexA(nullptr, FALSE, nullptr);
    } else if (FormName(szName, "SWMRGMutexNoWriter", pszName)) {
        pGuard->hMutexNoWriter = CreateMutexA(nullptr, FALSE, szName);
    }

    if (pszName == nullptr) {
        pGuard->hEventNoReaders = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    } else if (FormName(szName, "SWMRGEventNoReaders", pszName)) {
        pGuard->hEventNoReaders = CreateEventA(nullptr, TRUE, TRUE, szName);
    }

    if (pszName == nullptr) {
        pGuard->hSemNumReaders = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
    } else if (FormName(szName, "SWMRGSemNumReaders", pszName)) {
        pGuard->hSemNumReaders = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, szName);
    }

    if (pGuard->hMutexNoWriter != nullptr && pGuard->hEventNoReaders != nullptr &&
        pGuard->hSemNumReaders != nullptr) {
        return true;
    }
    Delete(pGuard);
    return false;
}

void Delete(SWMRG *pGuard)
{
    CloseIfSet(pGuard->hMutexNoWriter);
    CloseIfSet(pGuard->hEventNoReaders);
    CloseIfSet(pGuard->hSemNumReaders);
}

DWORD WaitToWrite(SWMRG *pGuard, DWORD dwTimeout)
{
    const HANDLE ah[2] = {pGuard->hMutexNoWriter, pGuard->hEventNoReaders};
    return WaitForMultipleObjects(2, ah, TRUE, dwTimeout);
}

void DoneWriting(SWMRG *pGuard) { ReleaseMutex(pGuard->hMutexNoWriter); }

DWORD WaitToRead(SWMRG *pGuard, DWORD dwTimeout)
{
    const DWORD dw = WaitForSingleObject(pGuard->hMutexNoWriter, dwTimeout);
    if (dw != WAIT_TIMEOUT) {
        LONG lPreviousCount = 0;
        ReleaseSemaphore(pGuard->hSemNumReaders, 1, &lPreviousCount);
        if (lPreviousCount == 0) {
            // First reader in: writers must now wait.
            ResetEvent(pGuard->hEventNoReaders);
        }
        ReleaseMutex(pGuard->hMutexNoWriter);
    }
    return dw;
}

void DoneReading(SWMRG *pGuard)
{
    // Taking the mutex and one unit of the semaphore together lowers the reader count.
    const HANDLE ah[2] = {pGuard->hMutexNoWriter, pGuard->hSemNumReaders};
    WaitForMultipleObjects(2, ah, TRUE, INFINITE);

    // A semaphore cannot be read directly: raise it to learn the count, then take it back.
    LONG lNumReaders = 0;
    ReleaseSemaphore(pGuard->hSemNumReaders, 1, &lNumReaders);
    WaitForSingleObject(pGuard->hSemNumReaders, INFINITE);

    if (lNumReaders == 0) {
        // Last reader out: a writer may enter.
        SetEvent(pGuard->hEventNoReaders);
    }
    ReleaseMutex(pGuard->hMutexNoWriter);
}
