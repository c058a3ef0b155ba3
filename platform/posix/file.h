// File handles: create/open, read, write, seek, size, and a few file-system calls.
//
// A file handle names an object in the handle table and is closed with CloseHandle. Paths may
// use '/' or '\' as separators. Failures return INVALID_HANDLE_VALUE or FALSE with the Windows
// error (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ...).
// Share modes hold between the handles of this process (an open that the sharing of another
// open handle forbids fails with ERROR_SHARING_VIOLATION, and so does deleting a file open
// without FILE_SHARE_DELETE); other processes are not bound, as Linux has no mandatory locks.
// One handle may be used from several threads; each call is one system call on its position.
#pragma once

#include <string>

#include "types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// CREATE_NEW fails on an existing file with ERROR_FILE_EXISTS; CREATE_ALWAYS and OPEN_ALWAYS
// on an existing file succeed with last error ERROR_ALREADY_EXISTS (else 0); OPEN_EXISTING and
// TRUNCATE_EXISTING on a missing file fail with ERROR_FILE_NOT_FOUND, and a missing folder on
// the way gives ERROR_PATH_NOT_FOUND. The file starts at position 0.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Moves the position; returns its low 32 bits (and the high ones in *lpDistanceToMoveHigh).
// INVALID_SET_FILE_POINTER with a last error on failure (a position before the start gives
// ERROR_NEGATIVE_SEEK); on success the last error is 0, as callers of large files test it.
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG *lpDistanceToMoveHigh,
                     DWORD dwMoveMethod);

// Synchronous only (lpOverlapped must be null). WriteFile writes all bytes or fails; ReadFile
// returns TRUE with 0 bytes at the end of the file.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL FlushFileBuffers(HANDLE hFile);

// Low 32 bits of the size (high ones in *lpFileSizeHigh); INVALID_FILE_SIZE with a last error
// other than 0 on failure.
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);

BOOL DeleteFileA(LPCSTR lpFileName);

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u
// Renames a file in one step. An existing target fails with ERROR_ALREADY_EXISTS unless
// MOVEFILE_REPLACE_EXISTING is given; MOVEFILE_WRITE_THROUGH returns only once the rename is
// on disk (the folder is flushed).
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);

// FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_READONLY for a file without write
// permission, else FILE_ATTRIBUTE_NORMAL; INVALID_FILE_ATTRIBUTES when the path does not exist.
DWORD GetFileAttributesA(LPCSTR lpFileName);

namespace pelmora::platform {
// A Windows-style path as the file system takes it: every '\\' becomes '/'.
std::string NativePath(const char *path);
}  // namespace pelmora::platform
