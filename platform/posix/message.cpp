#include "message.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "errors.h"

namespace {

struct Message {
    DWORD code;
    const char *text;
};

// Texts as Windows words them, inserts ("%1") left in place.
const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_OUTOFMEMORY,
     "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_BAD_ARGUMENTS, "One or more arguments are not correct.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller.\r\n"},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service.\r\n"},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running.\r\n"},
    {ERROR_INVALID_SERVICE_ACCOUNT,
     "The account name is invalid or does not exist, or the password is invalid for the account "
     "name specified.\r\n"},
    {ERROR_SERVICE_DISABLED,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it.\r\n"},
    {ERROR_SERVICE_DOES_NOT_EXIST,
     "The specified service does not exist as an installed service.\r\n"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
     "The service cannot accept control messages at this time.\r\n"},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started.\r\n"},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller.\r\n"},
    {ERROR_EXCEPTION_IN_SERVICE,
     "An exception occurred in the service when handling the control request.\r\n"},
    {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code.\r\n"},
    {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly.\r\n"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion.\r\n"},
    {ERROR_SERVICE_EXISTS, "The specified service already exists.\r\n"},
    {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system.\r\n"},
    {ERROR_NONE_MAPPED, "No mapping between account names and security IDs was done.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {WSAEBADF, "The file handle supplied is not valid.\r\n"},
    {WSAEACCES,
     "An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {WSAEFAULT,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a "
     "call.\r\n"},
    {WSAEINVAL, "An invalid argument was supplied.\r\n"},
    {WSAEMFILE, "Too many open sockets.\r\n"},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {WSAEINPROGRESS, "A blocking operation is currently executing.\r\n"},
    {WSAEALREADY,
     "An operation was attempted on a non-blocking socket that already had an operation in "
     "progress.\r\n"},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket.\r\n"},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket.\r\n"},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or some "
     "other network limit, or the buffer used to receive a datagram into was smaller than the "
     "datagram itself.\r\n"},
    {WSAEPROTOTYPE,
     "A protocol was specified in the socket function call that does not support the semantics of "
     "the socket type requested.\r\n"},
    {WSAENOPROTOOPT,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
     "setsockopt call.\r\n"},
    {WSAEPROTONOSUPPORT,
     "The requested protocol has not been configured into the system, or no implementation for it "
     "exists.\r\n"},
    {WSAESOCKTNOSUPPORT,
     "The support for the specified socket type does not exist in this address family.\r\n"},
    {WSAEOPNOTSUPP,
     "The attempted operation is not supported for the type of object referenced.\r\n"},
    {WSAEPFNOSUPPORT,
     "The protocol family has not been configured into the system or no implementation for it "
     "exists.\r\n"},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used.\r\n"},
    {WSAEADDRINUSE,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted.\r\n"},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context.\r\n"},
    {WSAENETDOWN, "A socket operation encountered a dead network.\r\n"},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network.\r\n"},
    {WSAENETRESET,
     "The connection has been broken due to keep-alive activity detecting a failure while the "
     "operation was in progress.\r\n"},
    {WSAECONNABORTED,
     "An established connection was aborted by the software in your host machine.\r\n"},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host.\r\n"},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient buffer "
     "space or because a queue was full.\r\n"},
    {WSAEISCONN, "A connect request was made on an already connected socket.\r\n"},
    {WSAENOTCONN,
     "A request to send or receive data was disallowed because the socket is not connected and "
     "(when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {WSAESHUTDOWN,
     "A request to send or receive data was disallowed because the socket had already been shut "
     "down in that direction with a previous shutdown call.\r\n"},
    {WSAETOOMANYREFS, "Too many references to some kernel object.\r\n"},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to "
     "respond.\r\n"},
    {WSAECONNREFUSED,
     "No connection could be made because the target machine actively refused it.\r\n"},
    {WSAELOOP, "Cannot translate name.\r\n"},
    {WSAENAMETOOLONG, "Name component or name was too long.\r\n"},
    {WSAEHOSTDOWN, "A socket operation failed because the destination host was down.\r\n"},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host.\r\n"},
    {WSASYSNOTREADY,
     "WSAStartup cannot function at this time because the underlying system it uses to provide "
     "network services is currently unavailable.\r\n"},
    {WSAVERNOTSUPPORTED, "The Windows Sockets version requested is not supported.\r\n"},
    {WSANOTINITIALISED,
     "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {WSAEDISCON,
     "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful "
     "shutdown sequence.\r\n"},
};

const char *Lookup(DWORD code)
{
    // An HRESULT of the Win32 facility carries the Windows code in its low word.
    if ((code & 0xFFFF0000u) == 0x80070000u)
        code &= 0xFFFFu;
    for (const Message &m : kMessages)
        if (m.code == code)
            return m.text;
    return nullptr;
}

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                     va_list *)
{
    const bool allocate = dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
    if (allocate && lpBuffer)
        *reinterpret_cast<LPSTR *>(lpBuffer) = nullptr;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = Lookup(dwMessageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string message(text);
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && message.find('%') != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);  // no argument inserts here
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        // No line breaks of its own: each one becomes a blank.
        std::string flat;
        for (size_t i = 0; i < message.size(); ++i) {
            if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
                flat += ' ';
                ++i;
            } else {
                flat += message[i];
            }
        }
        message.swap(flat);
    }
    const DWORD length = static_cast<DWORD>(message.size());
    if (allocate) {
        const size_t bytes = (length + 1 > nSize ? length + 1 : nSize);
        char *buffer = static_cast<char *>(LocalAlloc(LMEM_FIXED, bytes));
        if (!buffer) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(buffer, message.c_str(), length + 1);
        *reinterpret_cast<LPSTR *>(lpBuffer) = buffer;
        return length;
    }
    if (nSize < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, message.c_str(), length + 1);
    return length;
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    const size_t bytes = uBytes ? uBytes : 1;
    void *memory = (uFlags & LMEM_ZEROINIT) ? calloc(1, bytes) : malloc(bytes);
    if (!memory)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    free(hMem);
    return nullptr;
}
