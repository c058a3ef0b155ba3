#include "console.h"

#include <pthread.h>
#include <signal.h>

#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <system_error>
#include <mutex>
#include <thread>
#include <vector>

#include "errors.h"

namespace pelmora::platform {
namespace {

struct ConsoleControl {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // in the order installed
    bool listening = false;
};

ConsoleControl &Control()
{
    static ConsoleControl *control = new ConsoleControl;  // the listener may outlive main
    return *control;
}

void ConsoleSignals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGTERM);
}

DWORD EventOf(int signal)
{
    switch (signal) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
    }
}

// What the process would have done without handlers: end by the signal.
[[noreturn]] void DefaultAction(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    raise(signal);  // pending for this thread until unblocked
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);  // not reached for the signals taken here
}

void Listen(sigset_t set)
{
    for (;;) {
        int signal = sigwaitinfo(&set, nullptr);
        if (signal < 0)
            continue;  // EINTR
        std::vector<PHANDLER_ROUTINE> handlers;
        {
            ConsoleControl &control = Control();
            std::lock_guard<std::mutex> guard(control.lock);
            handlers = control.handlers;
        }
        bool handled = false;
        for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it)
            handled = (*it)(EventOf(signal)) != FALSE;
        if (!handled)
            DefaultAction(signal);
    }
}

}  // namespace
}  // namespace pelmora::platform

using namespace pelmora::platform;

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (!HandlerRoutine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ConsoleControl &control = Control();
    std::lock_guard<std::mutex> guard(control.lock);
    if (!Add) {
        for (auto it = control.handlers.rbegin(); it != control.handlers.rend(); ++it) {
            if (*it == HandlerRoutine) {
                control.handlers.erase(std::next(it).base());
                return TRUE;
            }
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!control.listening) {
        sigset_t set;
        ConsoleSignals(&set);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        // A shell starts background jobs with SIGINT and SIGQUIT ignored; an ignored signal
        // is dropped before anybody can wait for it.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
            sigaction(signal, &action, nullptr);
        try {
            std::thread(Listen, set).detach();
        } catch (const std::system_error &) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        control.listening = true;
    }
    control.handlers.push_back(HandlerRoutine);
    return TRUE;
}

BOOL AllocConsole()
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL FreeConsole() { return TRUE; }
