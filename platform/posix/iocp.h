// I/O completion ports: a queue of packets (key, byte count, OVERLAPPED*, error) shared by any
// number of waiting threads; each packet goes to exactly one of them, in the order queued.
// Packets come from PostQueuedCompletionStatus and from the overlapped operations of the
// sockets associated with the port (socket.h). All functions may be called from any thread.
#pragma once

#include <memory>

#include "types.h"

typedef ULONG_PTR *PULONG_PTR;

// FileHandle INVALID_HANDLE_VALUE and ExistingCompletionPort null: a new port (the thread count
// is accepted and ignored). FileHandle a socket: associates it with ExistingCompletionPort (or
// with a new port when that is null) under CompletionKey and returns the port; a socket can be
// associated once.
HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                              ULONG_PTR CompletionKey, DWORD NumberOfConcurrentThreads);

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped);

// TRUE: a packet of a successful operation (or a posted one). FALSE with *lpOverlapped not null:
// a packet of a failed operation, key and byte count filled in, the last error tells why
// (ERROR_OPERATION_ABORTED when its socket was closed, ERROR_NETNAME_DELETED when the
// connection failed). FALSE with *lpOverlapped null: no packet (WAIT_TIMEOUT after the time-out,
// or the handle is not a port); key and byte count are left as they were.
BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                               PULONG_PTR lpCompletionKey, LPOVERLAPPED *lpOverlapped,
                               DWORD dwMilliseconds);

namespace pelmora::platform {

// Internal to the platform layer: the port object behind a port handle.
class CompletionPort;

// Queues one packet; error 0 is a successful operation.
void QueueCompletion(CompletionPort &port, ULONG_PTR key, DWORD bytes, LPOVERLAPPED overlapped,
                     DWORD error);

// Implemented by the socket layer: associates a socket handle with a port. False, with the
// last error set, when the handle is not a socket or is already associated.
bool AssociateSocket(HANDLE socket, const std::shared_ptr<CompletionPort> &port, ULONG_PTR key);

}  // namespace pelmora::platform
