#include "tests/service/NotifySocket.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

NotifySocket::NotifySocket()
{
    char folder[] = "/tmp/pelmora-notify-XXXXXX";
    if (mkdtemp(folder))
        folder_ = folder;
    path_ = folder_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && !folder_.empty() &&
             bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

NotifySocket::~NotifySocket()
{
    close(fd_);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
}

std::string NotifySocket::Receive(int timeoutMs)
{
    pollfd fd{fd_, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) != 1)
        return "";
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool NotifySocket::HasMessage()
{
    pollfd fd{fd_, POLLIN, 0};
    return poll(&fd, 1, 0) == 1;
}

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : name_(name)
{
    if (const char *old = getenv(name)) {
        hadOld_ = true;
        old_ = old;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (hadOld_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}
