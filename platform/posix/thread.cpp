#include "thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>

#include "errors.h"
#include "handle.h"
#include "kernel.h"

namespace pelmora::platform {
namespace {

// What a thread handle names: signalled with the exit code when the thread ends (or is
// abandoned by TerminateThread, whichever comes first).
class ThreadObject : public Completion {
public:
    DWORD Tid()
    {
        std::unique_lock<std::mutex> guard(lock_);
        started_.wait(guard, [this] { return tid_ != 0; });
        return tid_;
    }
    void SetTid(DWORD tid)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            tid_ = tid;
        }
        started_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable started_;
    DWORD tid_ = 0;
};

// The calling thread's object. Threads of ours get it at their start; any other thread gets
// one when it first asks, and it is signalled (exit code 0) when that thread ends.
struct CurrentThread {
    std::shared_ptr<ThreadObject> object;
    bool foreign = false;
    ~CurrentThread()
    {
        if (object && foreign) {
            AbandonOwnedMutexes();
            object->Complete(0);
        }
    }
};

thread_local CurrentThread tCurrent;
thread_local DWORD tThreadId = 0;

struct StartBlock {
    std::shared_ptr<ThreadObject> object;
    unsigned(__stdcall *runtimeStart)(void *) = nullptr;
    LPTHREAD_START_ROUTINE start = nullptr;
    void *argument = nullptr;
};

// Signals a thread's object once the thread has ended completely, after the C library ran its
// thread-exit destructors (a library's own per-thread clean-up among them) — as a Windows thread
// handle is signalled only once the thread is gone. Whoever waits for the thread may then let
// the process exit without racing the thread's last steps. Never destroyed: it may still be
// joining a thread while the program's statics are torn down.
class Reaper {
public:
    static Reaper &Instance()
    {
        static Reaper *reaper = new Reaper;
        return *reaper;
    }

    // Called by an ending thread; false when no reaper could be started.
    bool Hand(pthread_t thread, std::shared_ptr<ThreadObject> object, DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_) {
            pthread_t reaper;
            pthread_attr_t attributes;
            if (pthread_attr_init(&attributes) != 0)
                return false;
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            started_ = pthread_create(&reaper, &attributes, Run, this) == 0;
            pthread_attr_destroy(&attributes);
            if (!started_)
                return false;
        }
        ended_.push_back(Ended{thread, std::move(object), code});
        waiting_.notify_one();
        return true;
    }

private:
    struct Ended {
        pthread_t thread;
        std::shared_ptr<ThreadObject> object;
        DWORD code;
    };

    static void *Run(void *self)
    {
        Reaper &reaper = *static_cast<Reaper *>(self);
        for (;;) {
            Ended ended;
            {
                std::unique_lock<std::mutex> guard(reaper.lock_);
                reaper.waiting_.wait(guard, [&] { return !reaper.ended_.empty(); });
                ended = std::move(reaper.ended_.front());
                reaper.ended_.pop_front();
            }
            pthread_join(ended.thread, nullptr);
            ended.object->Complete(ended.code);  // ignored if the thread was terminated
        }
        return nullptr;
    }

    std::mutex lock_;
    std::condition_variable waiting_;
    std::deque<Ended> ended_;
    bool started_ = false;
};

void *ThreadMain(void *parameter)
{
    std::unique_ptr<StartBlock> block(static_cast<StartBlock *>(parameter));
    std::shared_ptr<ThreadObject> object = block->object;
    tCurrent.object = object;
    object->SetTid(GetCurrentThreadId());
    DWORD code =
        block->runtimeStart ? block->runtimeStart(block->argument) : block->start(block->argument);
    // Mutexes first: whoever sees the thread ended may rely on its mutexes being free.
    AbandonOwnedMutexes();
    block.reset();
    if (!Reaper::Instance().Hand(pthread_self(), object, code)) {
        pthread_detach(pthread_self());
        object->Complete(code);  // ignored if the thread was terminated meanwhile
    }
    return nullptr;
}

// Starts a thread running `block`, joined by the reaper when it ends; returns its handle, or
// null with errno set.
HANDLE Start(std::unique_ptr<StartBlock> block, size_t stackSize, DWORD flags, DWORD *threadId)
{
    if (flags & CREATE_SUSPENDED) {
        errno = EINVAL;
        return nullptr;
    }
    pthread_attr_t attributes;
    int err = pthread_attr_init(&attributes);
    if (err) {
        errno = err;
        return nullptr;
    }
    if (stackSize) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t size = std::max<size_t>(stackSize, PTHREAD_STACK_MIN);
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attributes, size);
    }
    auto object = std::make_shared<ThreadObject>();
    block->object = object;
    pthread_t thread;
    err = pthread_create(&thread, &attributes, ThreadMain, block.get());
    pthread_attr_destroy(&attributes);
    if (err) {
        errno = err;
        return nullptr;
    }
    static_cast<void>(block.release());  // the thread owns it now
    DWORD tid = object->Tid();
    if (threadId)
        *threadId = tid;
    return InsertHandle(object);
}

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

std::shared_ptr<ThreadObject> CurrentObject()
{
    if (!tCurrent.object) {
        tCurrent.object = std::make_shared<ThreadObject>();
        tCurrent.object->SetTid(GetCurrentThreadId());
        tCurrent.foreign = true;
    }
    return tCurrent.object;
}

std::shared_ptr<ThreadObject> LookupThread(HANDLE handle)
{
    auto object = std::dynamic_pointer_cast<ThreadObject>(LookupHandle(handle));
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace

std::shared_ptr<Waitable> CurrentThreadObject() { return CurrentObject(); }

}  // namespace pelmora::platform

using namespace pelmora::platform;

uintptr_t _beginthreadex(void *, unsigned stack_size, unsigned(__stdcall *start_address)(void *),
                         void *arglist, unsigned initflag, unsigned *thrdaddr)
{
    if (!start_address) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto block = std::make_unique<StartBlock>();
    block->runtimeStart = start_address;
    block->argument = arglist;
    DWORD tid = 0;
    HANDLE handle = Start(std::move(block), stack_size, initflag, &tid);
    if (!handle) {
        SetLastError(Win32ErrorFromErrno(errno));
        return 0;
    }
    if (thrdaddr)
        *thrdaddr = tid;
    return reinterpret_cast<uintptr_t>(handle);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto block = std::make_unique<StartBlock>();
    block->start = lpStartAddress;
    block->argument = lpParameter;
    HANDLE handle = Start(std::move(block), dwStackSize, dwCreationFlags, lpThreadId);
    if (!handle)
        SetLastError(Win32ErrorFromErrno(errno));
    return handle;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto object = LookupThread(hThread);
    if (!object)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD code = 0;
    *lpExitCode = object->IsComplete(code) ? code : STILL_ACTIVE;
    return TRUE;
}

DWORD GetCurrentThreadId()
{
    if (tThreadId == 0)
        tThreadId = static_cast<DWORD>(gettid());
    return tThreadId;
}

DWORD GetThreadId(HANDLE Thread)
{
    auto object = LookupThread(Thread);
    return object ? object->Tid() : 0;
}

HANDLE GetCurrentThread() { return kCurrentThreadPseudoHandle; }

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec remaining;
    remaining.tv_sec = dwMilliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode)
{
    auto object = LookupThread(hThread);
    if (!object)
        return FALSE;
    object->Complete(dwExitCode);
    return TRUE;
}
