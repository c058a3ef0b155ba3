// A datagram socket standing in for systemd's notify socket, and environment variables set
// for the life of an object. Kept apart from the platform layer's socket names.
#pragma once

#include <string>

class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool Bound() const { return bound_; }
    const std::string &Path() const { return path_; }

    // The next message, or "" when none arrives within the time.
    std::string Receive(int timeoutMs = 20000);
    // True when a message is waiting right now.
    bool HasMessage();

private:
    std::string folder_;
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};
