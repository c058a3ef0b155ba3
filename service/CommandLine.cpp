// The command line and the console actions it selects: install, remove, start and stop the
// installed service.
#include <cstdio>
#include <cstring>

#include "service/NTService.h"

namespace {

const char kRunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

// Waits for a service that accepted the stop control; true once it is stopped.
bool WaitForStop(SC_HANDLE hService, SERVICE_STATUS &status, const char *pszDisplayName)
{
    std::printf("Stopping %s.", pszDisplayName);
    std::fflush(stdout);
    Sleep(1000);
    while (QueryServiceStatus(hService, &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
        std::printf(".");
        std::fflush(stdout);
        Sleep(1000);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        std::printf("\n%s stopped.\n", pszDisplayName);
        return true;
    }
    std::printf("\n%s failed to stop.\n", pszDisplayName);
    return false;
}

}  // namespace

int CNTService::ProcessCommandLine(int argc, char *argv[])
{
    enum Action { Dispatch, InstallAction, RemoveAction, StopAction, StartAction };
    Action action = Dispatch;

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!arg || arg[0] != '-')
            continue;
        switch (arg[1]) {
        case 'i': action = InstallAction; break;
        case 'u': action = RemoveAction; break;
        case 'e': action = StopAction; break;
        case 's': action = StartAction; break;
        case 'l':
        case 'p': {
            // The value is the rest of the argument, else the next argument whatever it is.
            const char *value = nullptr;
            if (arg[2] != '\0')
                value = arg + 2;
            else if (i + 1 < argc)
                value = argv[++i];
            if (arg[1] == 'l')
                m_pszAccountName = value;
            else
                m_pszPassword = value;
            if (!value)
                i = argc;  // the switch was the last argument
            break;
        }
        case 'd': m_dwDebug = 1; return DebugRun(argc, argv, FALSE);
        case 'f': m_dwDebug = 1; return DebugRun(argc, argv, TRUE);
        default: break;
        }
    }

    switch (action) {
    case InstallAction: return Install();
    case RemoveAction: return Remove();
    case StopAction: return StopInstalled();
    case StartAction: return StartInstalled();
    case Dispatch: break;
    }
    if (!m_bNTFamily) {
        m_dwDebug = 1;
        return DebugRun(argc, argv, TRUE);
    }
    return StartDispatcher();
}

int CNTService::Install()
{
    char szError[256];
    OpenConsole();

    char szFilePath[1024];
    DWORD dwLength = GetModuleFileNameA(nullptr, szFilePath, sizeof szFilePath - 1);
    if (dwLength == 0 || dwLength >= sizeof szFilePath - 1) {
        std::printf("Unable to install %s - %s\n", m_pszDisplayName,
                    LastErrorText(szError, sizeof szError));
        return 0;
    }
    szFilePath[dwLength] = '\0';

    if (!m_bNTFamily) {
        HKEY hKey = nullptr;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kRunServices, &hKey) != ERROR_SUCCESS)
            return 0;
        RegSetValueExA(hKey, m_pszServiceName, 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE *>(szFilePath),
                       static_cast<DWORD>(std::strlen(szFilePath) + 1));
        RegCloseKey(hKey);
        return 1;
    }

    SC_HANDLE hSCM = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hSCM) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(szError, sizeof szError));
        return 0;
    }

    // Quoted, so that a folder with blanks cannot be taken for a shorter program path.
    char szBinaryPath[sizeof szFilePath + 2];
    std::snprintf(szBinaryPath, sizeof szBinaryPath, "\"%s\"", szFilePath);

    // A tag exists only for drivers started at boot or system start.
    bool isDriver = (m_dwServiceType & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
    bool earlyStart = m_dwStartType == SERVICE_BOOT_START || m_dwStartType == SERVICE_SYSTEM_START;
    LPDWORD pdwTagID = isDriver && earlyStart ? &m_dwTagID : nullptr;

    int result = 0;
    SC_HANDLE hService =
        CreateServiceA(hSCM, m_pszServiceName, m_pszDisplayName, m_dwDesiredAccess, m_dwServiceType,
                       m_dwStartType, m_dwErrorControl, szBinaryPath, m_pszLoadOrderGroup, pdwTagID,
                       m_pszDependencies, m_pszAccountName, m_pszPassword);
    if (hService) {
        std::printf("%s installed.\n", m_pszDisplayName);
        CloseServiceHandle(hService);
        result = 1;
    } else {
        std::printf("CreateService failed - %s\n", LastErrorText(szError, sizeof szError));
    }
    CloseServiceHandle(hSCM);

    if (result) {
        AddEventSource(szFilePath, 7);
        ReportToEventLog("Service installed", EVENTLOG_INFORMATION_TYPE, static_cast<DWORD>(-1));
    }
    return result;
}

int CNTService::Remove()
{
    char szError[256];
    OpenConsole();

    if (!m_bNTFamily) {
        HKEY hKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunServices, 0, KEY_ALL_ACCESS, &hKey) !=
            ERROR_SUCCESS)
            return 0;
        RegDeleteValueA(hKey, m_pszServiceName);
        RegCloseKey(hKey);
        return 1;
    }

    SC_HANDLE hSCM = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hSCM) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(szError, sizeof szError));
        return 0;
    }
    SC_HANDLE hService = OpenServiceA(hSCM, m_pszServiceName, SERVICE_ALL_ACCESS);
    if (!hService) {
        std::printf("OpenService failed - %s\n", LastErrorText(szError, sizeof szError));
        CloseServiceHandle(hSCM);
        return 0;
    }

    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (ControlService(hService, SERVICE_CONTROL_STOP, &status))
        WaitForStop(hService, status, m_pszDisplayName);

    int result = 0;
    if (DeleteService(hService)) {
        std::printf("%s removed.\n", m_pszDisplayName);
        result = 1;
    } else {
        std::printf("DeleteService failed - %s\n", LastErrorText(szError, sizeof szError));
    }
    CloseServiceHandle(hService);
    CloseServiceHandle(hSCM);

    if (result)
        RemoveEventSource();
    return result;
}

int CNTService::StopInstalled()
{
    char szError[256];
    SC_HANDLE hSCM = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hSCM) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(szError, sizeof szError));
        return 0;
    }
    SC_HANDLE hService = OpenServiceA(hSCM, m_pszServiceName, SERVICE_ALL_ACCESS);
    if (!hService) {
        std::printf("OpenService failed - %s\n", LastErrorText(szError, sizeof szError));
        CloseServiceHandle(hSCM);
        return 0;
    }

    int result = 0;
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (ControlService(hService, SERVICE_CONTROL_STOP, &status))
        result = WaitForStop(hService, status, m_pszDisplayName) ? 1 : 0;
    CloseServiceHandle(hService);
    CloseServiceHandle(hSCM);
    return result;
}

int CNTService::StartInstalled()
{
    char szError[256];
    SC_HANDLE hSCM = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hSCM) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText(szError, sizeof szError));
        return 0;
    }
    SC_HANDLE hService = OpenServiceA(hSCM, m_pszServiceName, SERVICE_ALL_ACCESS);
    if (!hService) {
        std::printf("OpenService failed - %s\n", LastErrorText(szError, sizeof szError));
        CloseServiceHandle(hSCM);
        return 0;
    }

    std::printf("Starting up %s.", m_pszDisplayName);
    std::fflush(stdout);
    int result = 0;
    if (!StartServiceA(hService, 0, nullptr)) {
        std::printf("\n%s failed to start: %s\n", m_pszDisplayName,
                    LastErrorText(szError, sizeof szError));
    } else {
        Sleep(1000);
        SERVICE_STATUS status;
        std::memset(&status, 0, sizeof status);
        while (QueryServiceStatus(hService, &status) &&
               status.dwCurrentState == SERVICE_START_PENDING) {
            std::printf(".");
            std::fflush(stdout);
            Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            std::printf("\n%s started.\n", m_pszDisplayName);
            result = 1;
        } else {
            std::printf("\n%s failed to start.\n", m_pszDisplayName);
        }
    }
    CloseServiceHandle(hService);
    CloseServiceHandle(hSCM);
    return result;
}
