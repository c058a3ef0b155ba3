#include "service.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "errors.h"
#include "handle.h"

extern char **environ;

namespace pelmora::platform {
namespace {

std::string UnitFolder()
{
    const char *folder = std::getenv("PELMORA_SYSTEMD_UNIT_DIR");
    return folder && *folder ? folder : "/etc/systemd/system";
}

class ServiceManager : public Object {
public:
    explicit ServiceManager(std::string folder) : folder(std::move(folder)) {}
    const std::string folder;
};

class Service : public Object {
public:
    Service(std::string unit, std::string path) : unit(std::move(unit)), path(std::move(path)) {}
    const std::string unit;  // "<name>.service"
    const std::string path;  // the unit file
};

class StatusTarget : public Object {
public:
    explicit StatusTarget(std::string socket) : socket(std::move(socket)) {}
    const std::string socket;  // NOTIFY_SOCKET
};

SC_HANDLE ToScHandle(HANDLE handle) { return reinterpret_cast<SC_HANDLE>(handle); }
HANDLE FromScHandle(SC_HANDLE handle) { return reinterpret_cast<HANDLE>(handle); }

std::shared_ptr<Service> LookupService(SC_HANDLE handle)
{
    auto service = LookupHandleAs<Service>(FromScHandle(handle));
    if (!service)
        SetLastError(ERROR_INVALID_HANDLE);
    return service;
}

// Runs systemctl with the arguments; its standard output goes to `output` when given, its
// errors nowhere (the service manager's callers print their own texts). Returns the exit
// status, or -1 with the last error set when it could not be run.
int RunSystemctl(const std::vector<std::string> &arguments, std::string *output = nullptr)
{
    int pipeFds[2] = {-1, -1};
    if (output && pipe2(pipeFds, O_CLOEXEC) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    // The child starts with default signals: ours may be blocked for the dispatcher.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    std::vector<char *> argv;
    std::string program = "systemctl";
    argv.push_back(&program[0]);
    std::vector<std::string> copies(arguments);
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    pid_t child = -1;
    int spawned = posix_spawnp(&child, "systemctl", &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (output)
        close(pipeFds[1]);
    if (spawned != 0) {
        if (output)
            close(pipeFds[0]);
        SetLastError(Win32ErrorFromErrno(spawned));
        return -1;
    }
    if (output) {
        char buffer[512];
        for (;;) {
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n > 0)
                output->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        close(pipeFds[0]);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            SetLastError(Win32ErrorFromErrno(errno));
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A control request that systemctl refused.
bool RunControl(const std::vector<std::string> &arguments)
{
    int status = RunSystemctl(arguments);
    if (status < 0)
        return false;
    if (status != 0) {
        SetLastError(ERROR_EXCEPTION_IN_SERVICE);
        return false;
    }
    return true;
}

void FillStatus(DWORD state, LPSERVICE_STATUS status)
{
    if (!status)
        return;
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = state;
    status->dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

bool QueryState(const Service &service, DWORD &state)
{
    std::string output;
    if (RunSystemctl({"is-active", service.unit}, &output) < 0)
        return false;
    std::string word = output.substr(0, output.find_first_of("\r\n"));
    if (word.empty()) {
        SetLastError(ERROR_EXCEPTION_IN_SERVICE);
        return false;
    }
    if (word == "activating")
        state = SERVICE_START_PENDING;
    else if (word == "active" || word == "reloading" || word == "refreshing")
        state = SERVICE_RUNNING;
    else if (word == "deactivating")
        state = SERVICE_STOP_PENDING;
    else
        state = SERVICE_STOPPED;
    return true;
}

// Text of a unit-file value: '%' starts a specifier in every value.
std::string EscapeSpecifiers(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '%')
            escaped += '%';
        escaped += c;
    }
    return escaped;
}

// One quoted word of ExecStart.
std::string QuoteExecWord(const std::string &word)
{
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        else if (c == '%' || c == '$')
            quoted += c;  // "%%" and "$$" stand for the character itself
        quoted += c;
    }
    return quoted + "\"";
}

// The binary path is a command line: the program (quoted when it holds blanks), then its
// arguments.
std::string ExecStartLine(const std::string &commandLine)
{
    std::string program, rest;
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t end = commandLine.find('"', 1);
        program = commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
        rest = end == std::string::npos ? "" : commandLine.substr(end + 1);
    } else {
        size_t end = commandLine.find(' ');
        program = commandLine.substr(0, end);
        rest = end == std::string::npos ? "" : commandLine.substr(end);
    }
    size_t first = rest.find_first_not_of(' ');
    rest = first == std::string::npos ? "" : rest.substr(first);
    std::string line = QuoteExecWord(program);
    if (!rest.empty())
        line += " " + EscapeSpecifiers(rest);
    return line;
}

bool HasLineBreak(const char *text) { return text && std::strpbrk(text, "\r\n") != nullptr; }

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The dispatcher's state: one service per process.
std::atomic<LPHANDLER_FUNCTION> controlHandler{nullptr};
std::atomic<bool> dispatching{false};

bool SendNotify(const std::string &socketName, const std::string &message)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketName.empty() || socketName.size() >= sizeof address.sun_path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::memcpy(address.sun_path, socketName.data(), socketName.size());
    if (socketName[0] == '@')
        address.sun_path[0] = '\0';  // an abstract socket
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size());
    if (socketName[0] != '@')
        ++length;

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return false;
    }
    ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr *>(&address), length);
    int err = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(message.size())) {
        SetLastError(sent < 0 ? Win32ErrorFromErrno(err) : ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

const char *StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "Stopped";
    case SERVICE_START_PENDING: return "Start pending";
    case SERVICE_STOP_PENDING: return "Stop pending";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continue pending";
    case SERVICE_PAUSE_PENDING: return "Pause pending";
    case SERVICE_PAUSED: return "Paused";
    default: return nullptr;
    }
}

}  // namespace
}  // namespace pelmora::platform

using namespace pelmora::platform;

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    (void)lpDatabaseName;
    if (lpMachineName && *lpMachineName) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    std::string folder = UnitFolder();
    int mode = (dwDesiredAccess & ~static_cast<DWORD>(SC_MANAGER_CONNECT)) ? (W_OK | X_OK) : X_OK;
    if (access(folder.c_str(), mode) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return ToScHandle(InsertHandle(std::make_shared<ServiceManager>(folder)));
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword)
{
    (void)dwDesiredAccess;
    (void)dwErrorControl;
    (void)lpLoadOrderGroup;
    (void)lpdwTagId;
    (void)lpDependencies;
    (void)lpPassword;  // systemd runs a unit as its User= without a password
    auto manager = LookupHandleAs<ServiceManager>(FromScHandle(hSCManager));
    if (!manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName || std::strchr(lpServiceName, '/') || !lpBinaryPathName ||
        !*lpBinaryPathName || HasLineBreak(lpServiceName) || HasLineBreak(lpDisplayName) ||
        HasLineBreak(lpBinaryPathName) || HasLineBreak(lpServiceStartName) ||
        (dwServiceType & SERVICE_WIN32_OWN_PROCESS) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    std::string unit = std::string(lpServiceName) + ".service";
    std::string path = manager->folder + "/" + unit;
    std::string text =
        "[Unit]\nDescription=" + EscapeSpecifiers(lpDisplayName ? lpDisplayName : lpServiceName) +
        "\n\n[Service]\nType=notify\nExecStart=" + ExecStartLine(lpBinaryPathName) + "\n";
    if (lpServiceStartName && *lpServiceStartName)
        text += "User=" + EscapeSpecifiers(lpServiceStartName) + "\n";
    if (dwStartType == SERVICE_AUTO_START)
        text += "\n[Install]\nWantedBy=multi-user.target\n";

    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(errno == EEXIST ? ERROR_SERVICE_EXISTS : Win32ErrorFromErrno(errno));
        return nullptr;
    }
    bool written = WriteAll(fd, text);
    int err = errno;
    written = close(fd) == 0 && written;
    if (!written) {
        unlink(path.c_str());
        SetLastError(Win32ErrorFromErrno(err ? err : EIO));
        return nullptr;
    }
    bool registered = dwStartType == SERVICE_AUTO_START ? RunControl({"enable", unit})
                                                        : RunControl({"daemon-reload"});
    if (!registered) {
        DWORD error = GetLastError();
        unlink(path.c_str());
        SetLastError(error);
        return nullptr;
    }
    return ToScHandle(InsertHandle(std::make_shared<Service>(unit, path)));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    (void)dwDesiredAccess;
    auto manager = LookupHandleAs<ServiceManager>(FromScHandle(hSCManager));
    if (!manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName || std::strchr(lpServiceName, '/')) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::string unit = std::string(lpServiceName) + ".service";
    std::string path = manager->folder + "/" + unit;
    if (access(path.c_str(), F_OK) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return ToScHandle(InsertHandle(std::make_shared<Service>(unit, path)));
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;
    auto service = LookupService(hService);
    if (!service)
        return FALSE;
    DWORD state = SERVICE_STOPPED;
    if (!QueryState(*service, state))
        return FALSE;
    if (state != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    return RunControl({"start", "--no-block", service->unit}) ? TRUE : FALSE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    auto service = LookupService(hService);
    if (!service)
        return FALSE;
    DWORD state = SERVICE_STOPPED;
    if (!QueryState(*service, state))
        return FALSE;
    FillStatus(state, lpServiceStatus);
    if (dwControl == SERVICE_CONTROL_INTERROGATE) {
        if (state == SERVICE_STOPPED) {
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        return TRUE;
    }
    if (dwControl != SERVICE_CONTROL_STOP) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    if (state == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (state != SERVICE_RUNNING) {  // a pending service accepts no control
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    if (!RunControl({"stop", "--no-block", service->unit}))
        return FALSE;
    FillStatus(SERVICE_STOP_PENDING, lpServiceStatus);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    auto service = LookupService(hService);
    if (!service)
        return FALSE;
    if (!lpServiceStatus) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD state = SERVICE_STOPPED;
    if (!QueryState(*service, state))
        return FALSE;
    FillStatus(state, lpServiceStatus);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService)
{
    auto service = LookupService(hService);
    if (!service)
        return FALSE;
    RunSystemctl({"disable", service->unit});  // a unit started on demand is not enabled
    if (unlink(service->path.c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE
                                     : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    RunSystemctl({"daemon-reload"});
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    ObjectPtr object = LookupHandle(FromScHandle(hSCObject));
    if (!object || (!std::dynamic_pointer_cast<Service>(object) &&
                    !std::dynamic_pointer_cast<ServiceManager>(object))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveHandle(FromScHandle(hSCObject));
    return TRUE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable)
{
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName ||
        !lpServiceStartTable[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char *notify = std::getenv("NOTIFY_SOCKET");
    if (!notify || !*notify) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (dispatching.exchange(true)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }

    // SIGTERM stays blocked in every thread from here on (the service thread inherits the
    // mask) and is read from a descriptor; it is never unblocked again, so a late one cannot
    // end the process in the middle of its shutdown.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGTERM, SIG_DFL);  // an inherited "ignore" would drop the stop control
    int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int finished = eventfd(0, EFD_CLOEXEC);
    if (signals < 0 || finished < 0) {
        DWORD error = Win32ErrorFromErrno(errno);
        if (signals >= 0)
            close(signals);
        if (finished >= 0)
            close(finished);
        dispatching = false;
        SetLastError(error);
        return FALSE;
    }

    std::string name = lpServiceStartTable[0].lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = lpServiceStartTable[0].lpServiceProc;
    std::thread serviceThread([&name, serviceMain, finished] {
        LPSTR argv[] = {&name[0], nullptr};
        serviceMain(1, argv);
        uint64_t one = 1;
        while (write(finished, &one, sizeof one) < 0 && errno == EINTR) {
        }
    });

    for (;;) {
        pollfd fds[2] = {{finished, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (LPHANDLER_FUNCTION handler = controlHandler.load())
                    handler(SERVICE_CONTROL_STOP);
            }
        }
    }
    serviceThread.join();
    close(signals);
    close(finished);
    controlHandler = nullptr;
    dispatching = false;
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc)
{
    if (!lpServiceName || !lpHandlerProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const char *notify = std::getenv("NOTIFY_SOCKET");
    if (!notify || !*notify) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    controlHandler = lpHandlerProc;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(
        InsertHandle(std::make_shared<StatusTarget>(notify)));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    auto target = LookupHandleAs<StatusTarget>(reinterpret_cast<HANDLE>(hServiceStatus));
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char *state = lpServiceStatus ? StateName(lpServiceStatus->dwCurrentState) : nullptr;
    if (!state) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const SERVICE_STATUS &status = *lpServiceStatus;
    std::string message;
    if (status.dwCurrentState == SERVICE_RUNNING)
        message += "READY=1\n";
    if (status.dwCurrentState == SERVICE_STOP_PENDING)
        message += "STOPPING=1\n";
    char line[160];
    std::snprintf(line, sizeof line, "STATUS=%s, checkpoint %" PRIu32 ", wait hint %" PRIu32 " ms",
                  state, status.dwCheckPoint, status.dwWaitHint);
    message += line;
    bool pending = status.dwCurrentState == SERVICE_START_PENDING ||
                   status.dwCurrentState == SERVICE_STOP_PENDING ||
                   status.dwCurrentState == SERVICE_CONTINUE_PENDING ||
                   status.dwCurrentState == SERVICE_PAUSE_PENDING;
    if (pending) {
        std::snprintf(line, sizeof line, "\nEXTEND_TIMEOUT_USEC=%" PRIu64,
                      static_cast<uint64_t>(status.dwWaitHint) * 1000u);
        message += line;
    }
    if (status.dwWin32ExitCode != 0) {
        DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                         ? status.dwServiceSpecificExitCode
                         : status.dwWin32ExitCode;
        std::snprintf(line, sizeof line, "\nERRNO=%" PRIu32, code);
        message += line;
    }
    return SendNotify(target->socket, message) ? TRUE : FALSE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (!lpVersionInformation ||
        lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = 0;
    lpVersionInformation->dwMinorVersion = 0;
    lpVersionInformation->dwBuildNumber = 0;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = '\0';
    utsname name;
    if (uname(&name) == 0) {
        // "6.1.0-18-amd64": up to three dotted numbers, the rest is ignored.
        DWORD *parts[] = {&lpVersionInformation->dwMajorVersion,
                          &lpVersionInformation->dwMinorVersion,
                          &lpVersionInformation->dwBuildNumber};
        const char *p = name.release;
        for (DWORD *part : parts) {
            char *end = nullptr;
            const unsigned long value = std::strtoul(p, &end, 10);
            if (end == p)
                break;
            *part = static_cast<DWORD>(value);
            if (*end != '.')
                break;
            p = end + 1;
        }
    }
    return TRUE;
}

namespace {

// S-1-22-1-<uid>: revision 1, one sub-authority, authority 22.
struct UnixUserSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    BYTE IdentifierAuthority[6];
    DWORD SubAuthority[2];
};
constexpr DWORD kSidLength = 8 + 2 * sizeof(DWORD);

bool LookUpUser(const char *name, uid_t *uid, std::string *userName, bool byUid)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry;
    passwd *found = nullptr;
    int err;
    while ((err = byUid ? getpwuid_r(*uid, &entry, buffer.data(), buffer.size(), &found)
                        : getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (err != 0 || !found)
        return false;
    *uid = found->pw_uid;
    if (userName)
        *userName = found->pw_name;
    return true;
}

}  // namespace

BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer)
{
    if (!pcbBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uid_t uid = geteuid();
    std::string name;
    if (!LookUpUser(nullptr, &uid, &name, true)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    if (!lpBuffer || *pcbBuffer < name.size() + 1) {
        *pcbBuffer = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *pcbBuffer = static_cast<DWORD>(name.size() + 1);
    return TRUE;
}

BOOL LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse)
{
    if ((lpSystemName && *lpSystemName) || !lpAccountName || !cbSid || !cchReferencedDomainName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uid_t uid = 0;
    if (!LookUpUser(lpAccountName, &uid, nullptr, false)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    size_t hostLength = std::strlen(host);
    if (!Sid || *cbSid < kSidLength || !ReferencedDomainName ||
        *cchReferencedDomainName < hostLength + 1) {
        *cbSid = kSidLength;
        *cchReferencedDomainName = static_cast<DWORD>(hostLength + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    UnixUserSid sid{1, 2, {0, 0, 0, 0, 0, 22}, {1, static_cast<DWORD>(uid)}};
    std::memcpy(Sid, &sid, kSidLength);
    *cbSid = kSidLength;
    std::memcpy(ReferencedDomainName, host, hostLength + 1);
    *cchReferencedDomainName = static_cast<DWORD>(hostLength);
    if (peUse)
        *peUse = SidTypeUser;
    return TRUE;
}

BOOL IsValidSid(PSID pSid)
{
    if (!pSid)
        return FALSE;
    const BYTE *bytes = static_cast<const BYTE *>(pSid);
    return bytes[0] == 1 && bytes[1] <= 15 ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID pSid)
{
    if (!IsValidSid(pSid))
        return 0;
    return 8 + 4 * static_cast<const BYTE *>(pSid)[1];
}

BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid)
{
    DWORD length = GetLengthSid(pSourceSid);
    if (length == 0 || !pDestinationSid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (nDestinationSidLength < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memmove(pDestinationSid, pSourceSid, length);
    return TRUE;
}
