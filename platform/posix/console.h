// Console control handlers and console windows.
//
// Console events come from signals: SIGINT is CTRL_C_EVENT, SIGQUIT (the terminal's Ctrl+\,
// its break key) is CTRL_BREAK_EVENT, SIGHUP (terminal gone) is CTRL_CLOSE_EVENT and SIGTERM
// is CTRL_SHUTDOWN_EVENT. While at least one handler is installed these four signals are
// taken by a thread of the layer, which calls the handlers, last installed first, until one
// returns TRUE; when none does, the default action follows (the process ends by the signal),
// as the platform's default handler ends a Windows process. Handlers thus never run inside a
// signal handler. The signals must be installed before other threads are started, so that
// those threads inherit the blocked mask; threads started earlier could take the signal with
// its default action.
#pragma once

#include "types.h"

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD dwCtrlType);

// A null routine with Add TRUE (ignore Ctrl+C) is not offered.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);

// A process here always has the standard streams it was started with: AllocConsole fails with
// ERROR_ACCESS_DENIED (the process has a console already), FreeConsole does nothing.
BOOL AllocConsole();
BOOL FreeConsole();
