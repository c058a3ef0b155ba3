#include "tests/system/service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TempFolder::TempFolder(const char *prefix)
{
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]))
        path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    if (!path_.empty())
        fs::remove_all(path_, ignored);
}

std::string CopyPelmora(const std::string &folder)
{
    fs::create_directories(folder);
    std::string copy = folder + "/Pelmora";
    fs::copy_file(PELMORA_BIN_DIR "/Pelmora", copy, fs::copy_options::overwrite_existing);
    return copy;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &text, bool executable)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    if (executable)
        chmod(path.c_str(), 0755);
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

PelmoraProcess::PelmoraProcess(const std::string &program, const std::vector<std::string> &args,
                               const std::map<std::string, std::string> &env)
{
    std::map<std::string, std::string> environment;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            environment[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto &[name, value] : env) {
        if (value.empty())
            environment.erase(name);
        else
            environment[name] = value;
    }
    std::vector<std::string> envStrings;
    for (const auto &[name, value] : environment)
        envStrings.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (std::string &s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : argStrings)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);

    // The test itself may run with signals ignored (a background job); the program must see
    // them as a terminal would deliver them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    outFd_ = fds[0];
}

PelmoraProcess::~PelmoraProcess()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
}

bool PelmoraProcess::ReadSome(int timeoutMs)
{
    if (outputEnded_)
        return false;
    pollfd fd{outFd_, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) != 1)
        return false;
    char buffer[4096];
    ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n <= 0) {
        outputEnded_ = true;
        return false;
    }
    output_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool PelmoraProcess::WaitForOutput(const std::string &text, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output_.find(text) == std::string::npos) {
        if (!ReadSome(RemainingMs(deadline)) && (outputEnded_ || RemainingMs(deadline) == 0))
            return output_.find(text) != std::string::npos;
    }
    return true;
}

bool PelmoraProcess::WaitForBlockedSignal(int signal, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const unsigned long long bit = 1ull << (signal - 1);
    for (;;) {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) & bit) != 0)
                return true;
        }
        if (RemainingMs(deadline) == 0)
            return false;
        // The program gives no sign of its own; look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void PelmoraProcess::Signal(int signal)
{
    if (pid_ > 0 && !reaped_)
        kill(pid_, signal);
}

bool PelmoraProcess::WaitForExit(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!outputEnded_) {
        if (RemainingMs(deadline) == 0)
            return false;
        ReadSome(RemainingMs(deadline));
    }
    // Output ends when the program's last descriptor closes, that is when it exits.
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(status))
        exitCode_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        termSignal_ = WTERMSIG(status);
    return true;
}
