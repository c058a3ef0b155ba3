// Threads, thread ids and sleeping.
//
// Threads run detached; their handle names an object that holds the exit code and is signalled
// when the thread ends, and that lives as long as a handle or the thread itself uses it.
#pragma once

#include <cstdint>

#include "types.h"

#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x00000004u

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// The runtime's thread creation: returns the thread handle, or 0 on failure (errno and the last
// error are set). A stack size of 0 takes the default. CREATE_SUSPENDED is not offered.
uintptr_t _beginthreadex(void *security, unsigned stack_size,
                         unsigned(__stdcall *start_address)(void *), void *arglist,
                         unsigned initflag, unsigned *thrdaddr);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);

// STILL_ACTIVE while the thread runs, then the value its function returned (or the code given
// to TerminateThread).
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

// The kernel's id of the calling thread (as gettid reports it), unique among live threads.
DWORD GetCurrentThreadId();
DWORD GetThreadId(HANDLE Thread);

// A pseudo-handle that means the calling thread; it need not (and cannot) be closed.
HANDLE GetCurrentThread();

void Sleep(DWORD dwMilliseconds);

// A thread cannot be killed safely here, so the thread is abandoned instead: its handle turns
// signalled at once with `dwExitCode` and waits on it return; the thread itself runs on until
// its function returns, and the exit code it returns then is ignored. Mutexes it owns stay
// owned until it really ends (it may still use them).
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
