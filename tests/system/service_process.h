// Runs the built Pelmora program as its own process, from a copy in a folder of the test's
// own, and watches its output, its signals and its end.
#pragma once

#include <map>
#include <string>
#include <vector>

// A temporary folder, removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(const char *prefix = "pelmora-service");
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Copies the built program to folder/Pelmora; returns the copy's path.
std::string CopyPelmora(const std::string &folder);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text, bool executable = false);
bool FileExists(const std::string &path);

class PelmoraProcess {
public:
    // Starts the program with the arguments; `env` entries are added to (or, with an empty
    // value, removed from) this process's environment. Signals start with their defaults.
    PelmoraProcess(const std::string &program, const std::vector<std::string> &args,
                   const std::map<std::string, std::string> &env = {});
    ~PelmoraProcess();
    PelmoraProcess(const PelmoraProcess &) = delete;
    PelmoraProcess &operator=(const PelmoraProcess &) = delete;

    bool Started() const { return pid_ > 0; }

    // Reads output until it contains `text`; false when the time runs out or output ends.
    bool WaitForOutput(const std::string &text, int timeoutMs = 20000);
    // Waits until the program's main thread has `signal` blocked (its handler is in place).
    bool WaitForBlockedSignal(int signal, int timeoutMs = 20000);
    void Signal(int signal);
    // Reads output to its end and reaps the process; false when it did not end in time.
    bool WaitForExit(int timeoutMs = 30000);

    const std::string &Output() const { return output_; }
    // Exit code, or -1 when the process ended by a signal.
    int ExitCode() const { return exitCode_; }
    int TermSignal() const { return termSignal_; }

private:
    bool ReadSome(int timeoutMs);

    int pid_ = -1;
    int outFd_ = -1;
    bool outputEnded_ = false;
    bool reaped_ = false;
    std::string output_;
    int exitCode_ = -1;
    int termSignal_ = 0;
};
