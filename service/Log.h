// The program's one log, Pelmora.log beside the executable, switched by TraceLevel.
#pragma once

#include <atomic>
#include <string>

#include "platform/win32.h"

// 0 = logging off. Read and written without a lock by any thread; the last writer wins.
extern std::atomic<LONG> TraceLevel;

// Writes "<thread id>: <text>" as one line, when TraceLevel is not 0. With TraceLevel 0 it
// closes the file, so the next line written opens it again below a new banner.
void WriteLog(const char *text);
void WriteLog(const std::string &text);

// Closes the log file if it is open (program end).
void CloseLog();

// The full path of a file beside the running executable ("Pelmora.log", "Pelmora.ini"), or the
// bare name when the executable's path cannot be read.
std::string PathBesideExecutable(const char *fileName);
