// The service host: turns the program into a service of the platform's service manager, and
// runs it in a console or without one when asked to.
//
// One service object per process; the callbacks the platform calls without an object reach
// it through Instance. Run and Stop are the derived class's; Stop is called on another thread
// than Run (the control handler's or the console's).
#pragma once

#include "platform/win32.h"
#include "win32/CriticalSection.h"

class CNTService {
public:
    CNTService(const char *pszServiceName, const char *pszDisplayName = nullptr);
    ~CNTService();

    CNTService(const CNTService &) = delete;
    CNTService &operator=(const CNTService &) = delete;

    // Slots 0..14, in this order.
    virtual void Run(DWORD argc, LPSTR *argv) = 0;
    virtual void Stop() = 0;
    virtual void Pause();
    virtual void Continue();
    virtual void OnSystemShutdown();
    // Runs the one action the arguments select; returns its result (1 success, 0 failure).
    virtual int ProcessCommandLine(int argc, char *argv[]);
    virtual BOOL StartDispatcher();
    virtual int Install();
    virtual int Remove();
    virtual int StopInstalled();
    virtual int StartInstalled();
    virtual int DebugRun(int argc, char *argv[], BOOL bFaceless);
    virtual void AddEventSource(const char *pszMessageFile, DWORD dwTypesSupported);
    virtual void RemoveEventSource();
    // An event id of -1 is derived from the type.
    virtual void ReportToEventLog(const char *pszText, WORD wType, DWORD dwEventID);

    // Reports the status to the service manager; nothing (and TRUE) in a debug run.
    BOOL SetStatus(DWORD dwState, DWORD dwWaitHint, DWORD dwExitCode);
    // The text of the calling thread's last error without its line break, or empty when
    // there is none or it does not fit with 14 characters to spare.
    char *LastErrorText(char *pszBuffer, DWORD dwSize);
    // Gives the process a console and unbuffered standard streams (once).
    void OpenConsole();

    static void WINAPI ServiceMainProc(DWORD argc, LPSTR *argv);
    static void WINAPI ControlHandlerProc(DWORD dwControl);
    static BOOL WINAPI ConsoleCtrlProc(DWORD dwCtrlType);
#ifdef _WIN32
    static LRESULT CALLBACK FacelessWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
#else
    // Without windows, the end of the session arrives as a console event (SIGHUP, SIGTERM).
    static BOOL WINAPI FacelessCtrlProc(DWORD dwCtrlType);
#endif

    static CNTService *Instance;

protected:
    void SetCurrentState(DWORD dwState);
    DWORD CurrentState();

    const char *m_pszServiceName;
    const char *m_pszDisplayName;
    DWORD m_dwCheckPoint;
    DWORD m_dwDebug;
    SERVICE_STATUS m_Status;
    // The status is written by the service thread and the control handler's thread.
    Tarnwick::Win32::CCriticalSection m_statusLock;
    SERVICE_STATUS_HANDLE m_hServiceStatus;
    DWORD m_dwControlsAccepted;
    PSID m_pUserSID;
    BOOL m_bNTFamily;
    BOOL m_bConsoleAttached;
    DWORD m_dwDesiredAccess;
    DWORD m_dwServiceType;
    DWORD m_dwStartType;
    DWORD m_dwErrorControl;
    const char *m_pszLoadOrderGroup;
    DWORD m_dwTagID;
    const char *m_pszDependencies;
    const char *m_pszAccountName;
    const char *m_pszPassword;
};

// Event ids of the program's message table; each message is only its insertion string.
#define MSG_SERVICE_TEXT 0x00000003u
#define MSG_SERVICE_INFORMATION 0x40000000u
#define MSG_SERVICE_WARNING 0x80000001u
#define MSG_SERVICE_ERROR 0xC0000002u
