#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "errors.h"
#include "handle.h"

namespace pelmora::platform {

std::string NativePath(const char *path)
{
    std::string result(path ? path : "");
    for (char &c : result)
        if (c == '\\')
            c = '/';
    return result;
}

namespace {

bool CanRead(DWORD access) { return access & (GENERIC_READ | GENERIC_ALL); }
bool CanWrite(DWORD access) { return access & (GENERIC_WRITE | GENERIC_ALL); }

// Share modes are kept per open file (device and inode) for the handles of this process, so
// that an open without sharing refuses later opens here as Windows does. Other processes are
// not seen: Linux has no mandatory share locks.
struct FileId {
    dev_t device;
    ino_t inode;
    bool operator<(const FileId &other) const
    {
        return device != other.device ? device < other.device : inode < other.inode;
    }
};

struct OpenMode {
    DWORD access;
    DWORD share;
};

struct ShareTable {
    std::mutex lock;
    std::multimap<FileId, OpenMode> opens;
};

ShareTable &Shares()
{
    static ShareTable *table = new ShareTable;  // never destroyed: handles may outlive main
    return *table;
}

bool Compatible(const OpenMode &a, const OpenMode &b)
{
    const auto allows = [](const OpenMode &holder, const OpenMode &other) {
        return (!CanRead(other.access) || (holder.share & FILE_SHARE_READ)) &&
               (!CanWrite(other.access) || (holder.share & FILE_SHARE_WRITE));
    };
    return allows(a, b) && allows(b, a);
}

class File : public Object {
public:
    File(int fd, DWORD access, std::multimap<FileId, OpenMode>::iterator entry)
        : fd(fd), access(access), entry(entry)
    {
    }
    ~File() override
    {
        {
            std::lock_guard<std::mutex> guard(Shares().lock);
            Shares().opens.erase(entry);
        }
        close(fd);
    }
    const int fd;
    const DWORD access;

private:
    const std::multimap<FileId, OpenMode>::iterator entry;
};

bool ParentIsFolder(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return true;
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (2) from a missing folder on the way (3); Linux says ENOENT to
// both. A folder opened as a file is refused with 5.
DWORD PathError(int err, const std::string &path)
{
    if (err == ENOENT)
        return ParentIsFolder(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (err == EISDIR)
        return ERROR_ACCESS_DENIED;
    return Win32ErrorFromErrno(err);
}

std::shared_ptr<File> LookupFile(HANDLE handle)
{
    std::shared_ptr<File> file = LookupHandleAs<File>(handle);
    if (!file)
        SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

int OpenRetrying(const std::string &path, int flags, mode_t mode)
{
    int fd;
    do
        fd = open(path.c_str(), flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace
}  // namespace pelmora::platform

using namespace pelmora::platform;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE)
{
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = NativePath(lpFileName);
    int flags = O_CLOEXEC;
    if (CanRead(dwDesiredAccess) && CanWrite(dwDesiredAccess))
        flags |= O_RDWR;
    else if (CanWrite(dwDesiredAccess))
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        flags |= O_DSYNC;
    const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = OpenRetrying(path, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Try to create first, so that "existed" is known without a race.
        fd = OpenRetrying(path, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) {
            existed = true;
            fd = OpenRetrying(path, flags, mode);
        }
        break;
    case OPEN_EXISTING: fd = OpenRetrying(path, flags, 0); break;
    case TRUNCATE_EXISTING:
        if (!CanWrite(dwDesiredAccess)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        fd = OpenRetrying(path, flags, 0);
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        SetLastError(PathError(errno, path));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const DWORD error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const FileId id{st.st_dev, st.st_ino};
    const OpenMode wanted{dwDesiredAccess, dwShareMode};
    std::multimap<FileId, OpenMode>::iterator entry;
    {
        ShareTable &shares = Shares();
        std::lock_guard<std::mutex> guard(shares.lock);
        auto range = shares.opens.equal_range(id);
        for (auto it = range.first; it != range.second; ++it) {
            if (!Compatible(it->second, wanted)) {
                close(fd);
                SetLastError(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
        }
        entry = shares.opens.emplace(id, wanted);
    }
    auto file = std::make_shared<File>(fd, dwDesiredAccess, entry);
    // Emptied only now, so that a refused open never destroys a file that another handle holds.
    const bool truncate = dwCreationDisposition == TRUNCATE_EXISTING ||
                          (dwCreationDisposition == CREATE_ALWAYS && existed);
    if (truncate && ftruncate(fd, 0) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::move(file));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG *lpDistanceToMoveHigh,
                     DWORD dwMoveMethod)
{
    std::shared_ptr<File> file = LookupFile(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh)
        distance = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
            static_cast<uint32_t>(lDistanceToMove));
    int whence;
    switch (dwMoveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    const off_t position = lseek(file->fd, static_cast<off_t>(distance), whence);
    if (position < 0) {
        // lseek refuses a position before the start with EINVAL.
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<File> file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CanWrite(file->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const char *data = static_cast<const char *>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t n = write(file->fd, data + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            if (lpNumberOfBytesWritten)
                *lpNumberOfBytesWritten = done;
            SetLastError(Win32ErrorFromErrno(err));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<File> file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CanRead(file->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char *data = static_cast<char *>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        const ssize_t n = read(file->fd, data + done, nNumberOfBytesToRead - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            if (lpNumberOfBytesRead)
                *lpNumberOfBytesRead = done;
            SetLastError(err == EIO ? ERROR_READ_FAULT : Win32ErrorFromErrno(err));
            return FALSE;
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    std::shared_ptr<File> file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (!CanWrite(file->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fsync(file->fd) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    std::shared_ptr<File> file = LookupFile(hFile);
    if (!file)
        return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_FILE_SIZE;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL DeleteFileA(LPCSTR lpFileName)
{
    const std::string path = NativePath(lpFileName);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        ShareTable &shares = Shares();
        std::lock_guard<std::mutex> guard(shares.lock);
        auto range = shares.opens.equal_range(FileId{st.st_dev, st.st_ino});
        for (auto it = range.first; it != range.second; ++it) {
            if (!(it->second.share & FILE_SHARE_DELETE)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return FALSE;
            }
        }
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(PathError(errno, path));
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    const std::string from = NativePath(lpExistingFileName);
    const std::string to = NativePath(lpNewFileName);
    struct stat st;
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING) && lstat(to.c_str(), &st) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        SetLastError(PathError(errno, from));
        return FALSE;
    }
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        const size_t slash = to.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : to.substr(0, slash + 1);
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    const std::string path = NativePath(lpPathName);
    if (mkdir(path.c_str(), 0777) != 0) {
        const int err = errno;
        SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName)
{
    const std::string path = NativePath(lpFileName);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : PathError(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & 0222))
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}
