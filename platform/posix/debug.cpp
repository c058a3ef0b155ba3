#include "debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

void OutputDebugStringA(LPCSTR lpOutputString)
{
    const char *target = getenv("PELMORA_DEBUG_OUTPUT");
    if (!target || !*target || !lpOutputString)
        return;
    // O_APPEND makes each write land at the end as one piece; the lock keeps the texts of this
    // process whole even if a write is cut short and continued.
    static std::mutex *lock = new std::mutex;  // never destroyed: threads may outlive main
    std::lock_guard<std::mutex> guard(*lock);
    const int saved = errno;
    const int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        const char *p = lpOutputString;
        size_t left = strlen(p);
        while (left > 0) {
            const ssize_t n = write(fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        close(fd);
    }
    errno = saved;
}
