#include "service/Log.h"

#include <cstdio>

#include "service/Globals.h"
#include "win32/CriticalSection.h"

std::atomic<LONG> TraceLevel{0};
std::atomic<LONG> ShutdownFlag{0};
std::atomic<LONG> StationCount{0};

namespace {

using Tarnwick::Win32::CCriticalSection;
using Tarnwick::Win32::CCriticalSectionGuard;

const char kBanner[] = "****************New Log*****************";

CCriticalSection &LogLock()
{
    // Never destroyed: threads may still log while the program's statics are torn down.
    static CCriticalSection *lock = new CCriticalSection;
    return *lock;
}

FILE *logFile = nullptr;           // guarded by LogLock()
std::atomic<bool> logOpen{false};  // lets the "off" path skip the lock when nothing is open

void CloseLocked()
{
    if (logFile) {
        fclose(logFile);
        logFile = nullptr;
        logOpen.store(false);
    }
}

}  // namespace

std::string PathBesideExecutable(const char *fileName)
{
    char szPath[MAX_PATH + 1] = {0};
    const DWORD length = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return fileName;
    char szDrive[_MAX_DRIVE];
    char szDir[_MAX_DIR];
    _splitpath(szPath, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir + fileName;
}

void WriteLog(const char *text)
{
    if (TraceLevel.load(std::memory_order_relaxed) == 0) {
        // Closing takes the lock: another thread may be writing to the file right now.
        if (logOpen.load()) {
            CCriticalSectionGuard guard(LogLock());
            CloseLocked();
        }
        return;
    }

    CCriticalSectionGuard guard(LogLock());

    std::string line = std::to_string(static_cast<unsigned long>(GetCurrentThreadId()));
    line += ": ";
    line += text ? text : "";
    OutputDebugStringA((line + "\n").c_str());

    if (!logFile) {
        const std::string path = PathBesideExecutable("Pelmora.log");
        // Binary mode with explicit CR LF gives the same bytes on every system.
        logFile = fopen(path.c_str(), "ab");
        if (!logFile)
            return;  // lost for this call; the next call tries again
        logOpen.store(true);
        fputs(kBanner, logFile);
        fputs("\r\n", logFile);
    }
    line += "\r\n";
    fwrite(line.data(), 1, line.size(), logFile);
    fflush(logFile);
}

void WriteLog(const std::string &text) { WriteLog(text.c_str()); }

void CloseLog()
{
    CCriticalSectionGuard guard(LogLock());
    CloseLocked();
}
