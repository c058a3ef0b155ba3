// Single-writer/multiple-reader guard on three named kernel objects.
//
// Writers exclude each other and every reader; any number of readers may be inside together.
// A writer waits until the last reader has left. Every operation may be called from any thread;
// the objects are named, so every user of the same name shares one guard (within this process
// on Linux, within the session on Windows).
#pragma once

#include "platform/win32.h"

struct SWMRG {
    HANDLE hMutexNoWriter;   // held by a writer for its whole update, briefly by readers
    HANDLE hEventNoReaders;  // manual reset, signalled while no reader is inside
    HANDLE hSemNumReaders;   // count = readers inside
};

// Creates (or opens) the mutex "SWMRGMutexNoWriter"+name, the event "SWMRGEventNoReaders"+name
// and the semaphore "SWMRGSemNumReaders"+name; without a name they are unnamed. A name that
// makes an object name of 100 characters or more leaves that object uncreated. True when all
// three exist; otherwise the created ones are closed again and the handles are left 0.
bool Initialize(SWMRG *pGuard, LPCSTR pszName);

// Closes every handle that is set.
void Delete(SWMRG *pGuard);

// 0 (WAIT_OBJECT_0) when the caller owns the guard for writing; anything else means the
// caller must not touch the guarded data and must not call DoneWriting.
DWORD WaitToWrite(SWMRG *pGuard, DWORD dwTimeout);
void DoneWriting(SWMRG *pGuard);

// 0 when the caller may read; DoneReading only after a result of 0.
DWORD WaitToRead(SWMRG *pGuard, DWORD dwTimeout);
void DoneReading(SWMRG *pGuard);
