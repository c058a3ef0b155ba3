#include "service/NTService.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

CNTService *CNTService::Instance = nullptr;

namespace {
// Console control handlers run on a thread of their own; they may arrive while the run ends
// or the service object goes. Once DebugRun has left the run they stop nothing.
std::mutex ConsoleLock;
bool ConsoleRunEnded = false;
}  // namespace

namespace {

const char kEventLogApplication[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

#ifdef _WIN32
typedef DWORD(WINAPI *RegisterServiceProcessProc)(DWORD dwProcessId, DWORD dwType);
#endif

}  // namespace

CNTService::CNTService(const char *pszServiceName, const char *pszDisplayName)
    : m_pszServiceName(pszServiceName),
      m_pszDisplayName(pszDisplayName ? pszDisplayName : pszServiceName),
      m_dwCheckPoint(0),
      m_dwDebug(0),
      m_Status(),
      m_hServiceStatus(nullptr),
      m_dwControlsAccepted(SERVICE_ACCEPT_STOP),
      m_pUserSID(nullptr),
      m_bNTFamily(FALSE),
      m_bConsoleAttached(FALSE),
      m_dwDesiredAccess(SERVICE_ALL_ACCESS),
      m_dwServiceType(SERVICE_WIN32_OWN_PROCESS),
      m_dwStartType(SERVICE_AUTO_START),
      m_dwErrorControl(SERVICE_ERROR_NORMAL),
      m_pszLoadOrderGroup(nullptr),
      m_dwTagID(0),
      m_pszDependencies(nullptr),
      m_pszAccountName(nullptr),
      m_pszPassword(nullptr)
{
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#ifdef __GNUC__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (GetVersionExA(&version))
        m_bNTFamily = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
#ifdef __GNUC__
#pragma GCC diagnostic pop
#endif

    {
        std::lock_guard<std::mutex> lock(ConsoleLock);
        Instance = this;
        ConsoleRunEnded = false;
    }
    m_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_Status.dwServiceSpecificExitCode = 0;

    if (m_bNTFamily) {
        char szUser[256];
        DWORD cchUser = sizeof szUser - 1;
        if (GetUserNameA(szUser, &cchUser)) {
            std::vector<BYTE> sid(4096);
            DWORD cbSid = static_cast<DWORD>(sid.size());
            char szDomain[256];
            DWORD cchDomain = sizeof szDomain - 1;
            SID_NAME_USE use;
            if (LookupAccountNameA(nullptr, szUser, sid.data(), &cbSid, szDomain, &cchDomain,
                                   &use) &&
                IsValidSid(sid.data())) {
                DWORD length = GetLengthSid(sid.data());
                m_pUserSID = static_cast<PSID>(std::malloc(length));
                if (m_pUserSID && !CopySid(length, m_pUserSID, sid.data())) {
                    std::free(m_pUserSID);
                    m_pUserSID = nullptr;
                }
            }
        }
    }
}

CNTService::~CNTService()
{
    std::free(m_pUserSID);
    m_pUserSID = nullptr;
    std::lock_guard<std::mutex> lock(ConsoleLock);
    if (Instance == this)
        Instance = nullptr;
}

void CNTService::Pause() {}

void CNTService::Continue() {}

void CNTService::OnSystemShutdown() {}

BOOL CNTService::SetStatus(DWORD dwState, DWORD dwWaitHint, DWORD dwExitCode)
{
    if (m_dwDebug)
        return TRUE;

    Tarnwick::Win32::CCriticalSectionGuard lock(m_statusLock);
    m_Status.dwControlsAccepted = dwState == SERVICE_START_PENDING ? 0 : m_dwControlsAccepted;
    m_Status.dwCurrentState = dwState;
    m_Status.dwWin32ExitCode = NO_ERROR;
    m_Status.dwWaitHint = dwWaitHint;
    m_Status.dwServiceSpecificExitCode = dwExitCode;
    if (dwExitCode != 0)
        m_Status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    if (dwState == SERVICE_RUNNING || dwState == SERVICE_STOPPED)
        m_Status.dwCheckPoint = 0;
    else
        m_Status.dwCheckPoint = ++m_dwCheckPoint;

    BOOL sent = SetServiceStatus(m_hServiceStatus, &m_Status);
    if (!sent)
        ReportToEventLog("SetServiceStatus() failed", EVENTLOG_ERROR_TYPE, static_cast<DWORD>(-1));
    return sent;
}

char *CNTService::LastErrorText(char *pszBuffer, DWORD dwSize)
{
    if (!pszBuffer || dwSize == 0)
        return pszBuffer;
    char szMessage[512];
    DWORD dwLength = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(),
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szMessage, sizeof szMessage, nullptr);
    if (dwLength == 0 || dwLength >= sizeof szMessage || dwSize < dwLength + 14) {
        pszBuffer[0] = '\0';
        return pszBuffer;
    }
    szMessage[dwLength] = '\0';
    // The system's texts end with a line break; keep the text without it.
    for (int i = 0; i < 2 && dwLength > 0 &&
                    (szMessage[dwLength - 1] == '\n' || szMessage[dwLength - 1] == '\r');
         ++i)
        szMessage[--dwLength] = '\0';
    std::snprintf(pszBuffer, dwSize, "%s", szMessage);
    return pszBuffer;
}

void CNTService::OpenConsole()
{
    if (m_bConsoleAttached)
        return;
    AllocConsole();  // fails when the process has a console already, which is fine
#ifdef _WIN32
    // Streams that had no console behind them are pointed at the new one; all of them are
    // made unbuffered so that console messages appear at once.
    const struct {
        DWORD dwStdHandle;
        FILE *stream;
        const char *device;
        const char *mode;
    } streams[] = {{STD_OUTPUT_HANDLE, stdout, "CONOUT$", "w"},
                   {STD_ERROR_HANDLE, stderr, "CONOUT$", "w"},
                   {STD_INPUT_HANDLE, stdin, "CONIN$", "r"}};
    for (const auto &s : streams) {
        HANDLE h = GetStdHandle(s.dwStdHandle);
        if (h == nullptr || h == INVALID_HANDLE_VALUE)
            continue;
        if (_fileno(s.stream) < 0 && !freopen(s.device, s.mode, s.stream))
            continue;
        setvbuf(s.stream, nullptr, _IONBF, 0);
    }
#else
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
#endif
    m_bConsoleAttached = TRUE;
}

BOOL CNTService::StartDispatcher()
{
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {const_cast<LPSTR>(m_pszServiceName), ServiceMainProc},
        {nullptr, nullptr},
    };
    BOOL result = StartServiceCtrlDispatcherA(dispatchTable);
    if (!result) {
        char szError[255];
        ReportToEventLog(LastErrorText(szError, sizeof szError), EVENTLOG_ERROR_TYPE,
                         static_cast<DWORD>(-1));
    }
    return result;
}

void WINAPI CNTService::ServiceMainProc(DWORD argc, LPSTR *argv)
{
    CNTService *service = Instance;
    if (!service)
        return;
    service->m_hServiceStatus =
        RegisterServiceCtrlHandlerA(service->m_pszServiceName, ControlHandlerProc);
    if (!service->m_hServiceStatus)
        return;
    if (service->SetStatus(SERVICE_START_PENDING, 3000, 0))
        service->Run(argc, argv);
    service->SetStatus(SERVICE_STOPPED, 3000, 0);
}

void CNTService::SetCurrentState(DWORD dwState)
{
    Tarnwick::Win32::CCriticalSectionGuard lock(m_statusLock);
    m_Status.dwCurrentState = dwState;
}

DWORD CNTService::CurrentState()
{
    Tarnwick::Win32::CCriticalSectionGuard lock(m_statusLock);
    return m_Status.dwCurrentState;
}

void WINAPI CNTService::ControlHandlerProc(DWORD dwControl)
{
    CNTService *service = Instance;
    if (!service)
        return;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        service->SetCurrentState(SERVICE_STOP_PENDING);
        service->Stop();
        break;
    case SERVICE_CONTROL_PAUSE:
        service->SetCurrentState(SERVICE_PAUSE_PENDING);
        service->Pause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->SetCurrentState(SERVICE_CONTINUE_PENDING);
        service->Continue();
        break;
    case SERVICE_CONTROL_INTERROGATE: service->SetStatus(service->CurrentState(), 3000, 0); break;
    case SERVICE_CONTROL_SHUTDOWN: service->OnSystemShutdown(); break;
    default: break;
    }
}

int CNTService::DebugRun(int argc, char *argv[], BOOL bFaceless)
{
#ifdef _WIN32
    RegisterServiceProcessProc registerServiceProcess = nullptr;
#endif
    if (!bFaceless) {
        OpenConsole();
        std::printf("Debugging %s.\n", m_pszDisplayName);
        {
            std::lock_guard<std::mutex> lock(ConsoleLock);
            ConsoleRunEnded = false;
        }
        SetConsoleCtrlHandler(ConsoleCtrlProc, TRUE);
    } else {
#ifdef _WIN32
        HINSTANCE hInstance = GetModuleHandleA(nullptr);
        WNDCLASSA wndClass;
        std::memset(&wndClass, 0, sizeof wndClass);
        wndClass.lpfnWndProc = FacelessWndProc;
        wndClass.hInstance = hInstance;
        wndClass.lpszClassName = "ZQT__FacelessWndProc_";
        RegisterClassA(&wndClass);
        CreateWindowA("ZQT__FacelessWndProc_", "", 0, 0, 0, 0, 0, nullptr, nullptr, hInstance,
                      nullptr);
        HMODULE hKernel = GetModuleHandleA("kernel32.dll");
        if (hKernel)
            registerServiceProcess = reinterpret_cast<RegisterServiceProcessProc>(
                reinterpret_cast<void *>(GetProcAddress(hKernel, "RegisterServiceProcess")));
        if (registerServiceProcess)
            registerServiceProcess(0, 1);
#else
        SetConsoleCtrlHandler(FacelessCtrlProc, TRUE);
#endif
    }

    Run(static_cast<DWORD>(argc), argv);
    {
        std::lock_guard<std::mutex> lock(ConsoleLock);
        ConsoleRunEnded = true;
    }

#ifdef _WIN32
    if (bFaceless && registerServiceProcess)
        registerServiceProcess(0, 0);
#endif
    return 1;
}

BOOL WINAPI CNTService::ConsoleCtrlProc(DWORD dwCtrlType)
{
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT)
        return FALSE;
    std::lock_guard<std::mutex> lock(ConsoleLock);
    CNTService *service = ConsoleRunEnded ? nullptr : Instance;
    if (service) {
        std::printf("Stopping %s.\n", service->m_pszDisplayName);
        service->Stop();
    }
    return TRUE;
}

#ifdef _WIN32
LRESULT CALLBACK CNTService::FacelessWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if ((uMsg == WM_QUERYENDSESSION || uMsg == WM_ENDSESSION || uMsg == WM_QUIT) &&
        (lParam == 0 || uMsg == WM_QUIT)) {
        DestroyWindow(hWnd);
        if (Instance)
            Instance->Stop();
        return 1;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}
#else
BOOL WINAPI CNTService::FacelessCtrlProc(DWORD dwCtrlType)
{
    if (dwCtrlType != CTRL_CLOSE_EVENT && dwCtrlType != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    if (Instance)
        Instance->Stop();
    return TRUE;
}
#endif

void CNTService::ReportToEventLog(const char *pszText, WORD wType, DWORD dwEventID)
{
    if (dwEventID == static_cast<DWORD>(-1)) {
        switch (wType) {
        case EVENTLOG_ERROR_TYPE: dwEventID = MSG_SERVICE_ERROR; break;
        case EVENTLOG_WARNING_TYPE: dwEventID = MSG_SERVICE_WARNING; break;
        default: dwEventID = MSG_SERVICE_INFORMATION; break;
        }
    }
    HANDLE hEventSource = RegisterEventSourceA(nullptr, m_pszServiceName);
    if (!hEventSource)
        return;
    LPCSTR strings[1] = {pszText};
    ReportEventA(hEventSource, wType, 0, dwEventID, m_pUserSID, 1, 0, strings, nullptr);
    DeregisterEventSource(hEventSource);
}

void CNTService::AddEventSource(const char *pszMessageFile, DWORD dwTypesSupported)
{
    char szKey[MAX_PATH * 2];
    std::snprintf(szKey, sizeof szKey, "%s%s", kEventLogApplication, m_pszServiceName);
    HKEY hKey = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, szKey, &hKey) != ERROR_SUCCESS)
        return;
    bool written =
        RegSetValueExA(hKey, "EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE *>(pszMessageFile),
                       static_cast<DWORD>(std::strlen(pszMessageFile) + 1)) == ERROR_SUCCESS &&
        RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&dwTypesSupported),
                       sizeof dwTypesSupported) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    if (!written)
        return;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS)
        return;
    DWORD dwType = 0, dwSize = 0;
    if (RegQueryValueExA(hKey, "Sources", nullptr, &dwType, nullptr, &dwSize) == ERROR_SUCCESS) {
        const size_t nameLength = std::strlen(m_pszServiceName);
        std::vector<char> sources(dwSize + nameLength + 1, '\0');
        DWORD dwRead = dwSize;
        if (RegQueryValueExA(hKey, "Sources", nullptr, &dwType,
                             reinterpret_cast<BYTE *>(sources.data()), &dwRead) == ERROR_SUCCESS) {
            // Walk the entries up to the empty one that ends the list.
            size_t pos = 0;
            bool found = false;
            while (pos < dwSize && sources[pos] != '\0') {
                if (std::strcmp(&sources[pos], m_pszServiceName) == 0) {
                    found = true;
                    break;
                }
                pos += std::strlen(&sources[pos]) + 1;
            }
            if (!found) {
                std::memcpy(&sources[pos], m_pszServiceName, nameLength + 1);
                DWORD dwNewSize = static_cast<DWORD>(dwSize + nameLength + 1);
                RegSetValueExA(hKey, "Sources", 0, dwType,
                               reinterpret_cast<const BYTE *>(sources.data()), dwNewSize);
            }
        }
    }
    RegCloseKey(hKey);
}

void CNTService::RemoveEventSource()
{
    char szKey[MAX_PATH * 2];
    std::snprintf(szKey, sizeof szKey, "%s%s", kEventLogApplication, m_pszServiceName);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, szKey);

    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS)
        return;
    DWORD dwType = 0, dwSize = 0;
    if (RegQueryValueExA(hKey, "Sources", nullptr, &dwType, nullptr, &dwSize) == ERROR_SUCCESS) {
        std::vector<char> sources(dwSize + 1, '\0');  // one spare terminator for the walk
        std::vector<char> kept(dwSize + 1, '\0');
        DWORD dwRead = dwSize;
        if (RegQueryValueExA(hKey, "Sources", nullptr, &dwType,
                             reinterpret_cast<BYTE *>(sources.data()), &dwRead) == ERROR_SUCCESS) {
            DWORD dwNewSize = dwSize;
            size_t pos = 0, out = 0;
            bool dropped = false;
            while (pos < dwSize && sources[pos] != '\0') {
                size_t length = std::strlen(&sources[pos]);
                if (std::strcmp(&sources[pos], m_pszServiceName) == 0) {
                    dwNewSize -= static_cast<DWORD>(length + 1);
                    dropped = true;
                } else {
                    std::memcpy(&kept[out], &sources[pos], length + 1);
                    out += length + 1;
                }
                pos += length + 1;
            }
            if (dropped)
                RegSetValueExA(hKey, "Sources", 0, dwType,
                               reinterpret_cast<const BYTE *>(kept.data()), dwNewSize);
        }
    }
    RegCloseKey(hKey);
}
