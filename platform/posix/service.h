// Service control: the service manager calls, on systemd; the platform version; account lookup.
//
// The service manager is systemd. A service is a unit file "<service name>.service" in the
// unit folder (/etc/systemd/system, or the folder named by PELMORA_SYSTEMD_UNIT_DIR);
// installing writes it and enables it, start, stop and state queries run `systemctl` (found on
// PATH). Failures set the last error to the Windows number the callers know (1060 service does
// not exist, 1062 not active, 1056 already running, 1073 exists, 5 access denied).
//
// The dispatcher runs the service when systemd started the process (NOTIFY_SOCKET is set):
// the service-main function runs on its own thread, SIGTERM becomes the stop control, handled
// on the dispatcher's thread, and SetServiceStatus reports through the notify socket
// (STATUS=, READY=1 on running, STOPPING=1 and EXTEND_TIMEOUT_USEC= while stopping). Without
// NOTIFY_SOCKET it fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, as a Windows dispatcher
// does when the program was started from a console.
//
// All functions may be called from any thread; one service per process.
#pragma once

#include "errors.h"
#include "types.h"

#ifndef ERROR_INVALID_SERVICE_CONTROL
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#endif

typedef struct SC_HANDLE__ *SC_HANDLE;
typedef SC_HANDLE *LPSC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI *LPSERVICE_MAIN_FUNCTIONA)(DWORD dwNumServicesArgs, LPSTR *lpServiceArgVectors);
typedef void(WINAPI *LPHANDLER_FUNCTION)(DWORD dwControl);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA, *LPSERVICE_TABLE_ENTRYA;

// Service types.
#define SERVICE_KERNEL_DRIVER 0x00000001u
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020u

// Start types.
#define SERVICE_BOOT_START 0x00000000u
#define SERVICE_SYSTEM_START 0x00000001u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_DISABLED 0x00000004u

// Error control.
#define SERVICE_ERROR_IGNORE 0x00000000u
#define SERVICE_ERROR_NORMAL 0x00000001u

// States.
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u

// Controls and the controls accepted.
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u

// Access rights.
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_ALL_ACCESS 0xF01FFu
#define DELETE 0x00010000u

// Opens the service manager. Any right beyond connecting needs a writable unit folder (as
// administrative rights on Windows); otherwise ERROR_ACCESS_DENIED.
SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);

// Writes the unit file: Description = display name, Type=notify, ExecStart = the binary path
// (a command line whose program may be in double quotes; it is written quoted), User = the
// account when one is given (the password is not used), and, for SERVICE_AUTO_START, an
// [Install] section; then `systemctl enable` for an automatic start. An existing unit file
// fails with ERROR_SERVICE_EXISTS.
SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword);

// A service whose unit file is in the unit folder; ERROR_SERVICE_DOES_NOT_EXIST otherwise.
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);

// `systemctl start --no-block`: the start is asked for and the state then polled.
BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors);

// SERVICE_CONTROL_STOP (`systemctl stop --no-block`; ERROR_SERVICE_NOT_ACTIVE when the unit
// is not active) and SERVICE_CONTROL_INTERROGATE. The state after the control is returned.
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);

// The unit's state from `systemctl is-active`: activating = start pending, active or
// reloading = running, deactivating = stop pending, anything else = stopped.
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);

// `systemctl disable`, removal of the unit file, `systemctl daemon-reload`.
BOOL DeleteService(SC_HANDLE hService);

BOOL CloseServiceHandle(SC_HANDLE hSCObject);

// Runs the first entry's service-main function on a thread of its own with the service name
// as its only argument, and turns SIGTERM into SERVICE_CONTROL_STOP for the registered
// handler, called on this thread. Returns TRUE once the service-main function has returned.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable);

// Registers the control handler. Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when
// systemd did not start the process (no NOTIFY_SOCKET).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc);

// Sends the status as one notify datagram: "STATUS=<state>, checkpoint <n>, wait hint <ms>
// ms", with READY=1 for running, STOPPING=1 for stop pending, EXTEND_TIMEOUT_USEC= (the
// wait hint) for pending states, and ERRNO= when the exit code is not 0.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

// The platform version: always the NT family here.
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

// Accounts. A user's security identifier is S-1-22-1-<uid>, the usual mapping of Unix users.
typedef void *PSID;
typedef enum _SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain
} SID_NAME_USE,
    *PSID_NAME_USE;

#define UNLEN 256

// The name of the account the process runs as (its effective user).
BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
// Looks the name up in the local user database; ERROR_NONE_MAPPED when there is no such user.
BOOL LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse);
BOOL IsValidSid(PSID pSid);
DWORD GetLengthSid(PSID pSid);
BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid);
