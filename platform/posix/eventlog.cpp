#include "eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "errors.h"
#include "handle.h"

namespace pelmora::platform {
namespace {

class EventSource : public Object {
public:
    explicit EventSource(std::string name) : name(std::move(name)) {}
    const std::string name;
};

// syslog's identity is process-wide: one report at a time.
std::mutex &ReportLock()
{
    static std::mutex *lock = new std::mutex;
    return *lock;
}

const char *TypeName(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_AUDIT_SUCCESS: return "audit-success";
    case EVENTLOG_AUDIT_FAILURE: return "audit-failure";
    default: return "information";
    }
}

int Priority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS:
    case EVENTLOG_AUDIT_FAILURE: return LOG_NOTICE;
    default: return LOG_INFO;
    }
}

}  // namespace
}  // namespace pelmora::platform

using namespace pelmora::platform;

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    if ((lpUNCServerName && *lpUNCServerName) || !lpSourceName || !*lpSourceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return InsertHandle(std::make_shared<EventSource>(lpSourceName));
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData)
{
    (void)wCategory;
    (void)lpUserSid;
    (void)dwDataSize;
    (void)lpRawData;
    auto source = LookupHandleAs<EventSource>(hEventLog);
    if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (wNumStrings > 0 && !lpStrings) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text;
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (i > 0)
            text += ' ';
        text += lpStrings[i] ? lpStrings[i] : "";
    }

    std::lock_guard<std::mutex> guard(ReportLock());
    const char *file = std::getenv("PELMORA_EVENT_LOG");
    if (file && *file) {
        char head[64];
        std::snprintf(head, sizeof head, " %s 0x%08" PRIX32 " ", TypeName(wType), dwEventID);
        std::string line = source->name + head + text + "\n";
        int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            SetLastError(Win32ErrorFromErrno(errno));
            return FALSE;
        }
        bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(fd);
        if (!written) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        return TRUE;
    }
    openlog(source->name.c_str(), LOG_PID, LOG_DAEMON);
    syslog(Priority(wType), "%s", text.c_str());
    closelog();
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog)
{
    if (!LookupHandleAs<EventSource>(hEventLog)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveHandle(hEventLog);
    return TRUE;
}
