// Event log: syslog.
//
// An event source is a syslog identity (the source name). Each entry is written with the
// priority of its type (error, warning, notice for audits, information) and carries the
// insertion strings joined by blanks, which is what a message of the form "%1" shows on
// Windows. When PELMORA_EVENT_LOG names a file, entries are appended to it instead, one line
// each: "<source> <type> 0x<event id> <text>" (type: error, warning, information,
// audit-success, audit-failure). Thread-safe.
#pragma once

#include "service.h"
#include "types.h"

#define EVENTLOG_SUCCESS 0x0000u
#define EVENTLOG_ERROR_TYPE 0x0001u
#define EVENTLOG_WARNING_TYPE 0x0002u
#define EVENTLOG_INFORMATION_TYPE 0x0004u
#define EVENTLOG_AUDIT_SUCCESS 0x0008u
#define EVENTLOG_AUDIT_FAILURE 0x0010u

// Only the local computer (null server name) is offered.
HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);
