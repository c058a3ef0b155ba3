// Module paths, path splitting and dynamic libraries.
//
// An HMODULE is the dynamic loader's handle of a loaded object (dlopen); the main program's
// is GetModuleHandleA(NULL). Paths may use '/' or '\' as separators ('\' is turned into '/'
// before the file system sees it). All functions are thread-safe; the last error is per thread.
#pragma once

#include "types.h"

typedef intptr_t(WINAPI *FARPROC)();

#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004u
#define SEM_NOOPENFILEERRORBOX 0x8000u

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

// Full path of the main program (hModule null, from /proc/self/exe) or of a loaded library.
// Returns the length; a path that does not fit is cut to nSize - 1 characters and terminated,
// and nSize is returned with ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for a handle
// that names no loaded object.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// Null gives the main program; a name gives that object if it is already loaded (no reference
// taken), else null with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);

// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address inside the module
// wanted (how a library finds its own file). A reference is taken unless
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT is given (release it with FreeLibrary).
BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE *phModule);

// Loads a library with all its symbols bound at once. A name without separator is looked for
// beside the main program first (the Windows search order), then on the loader's path. Loading
// a loaded library again returns the same handle and takes another reference. Failure: null
// with ERROR_MOD_NOT_FOUND; LoadLibraryErrorText tells why.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);

// The address of an exported name, or null with ERROR_PROC_NOT_FOUND (also for ordinals,
// which Linux libraries do not have).
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// Drops one reference; the library is unloaded with its last one.
BOOL FreeLibrary(HMODULE hLibModule);

// Process-wide error mode; returns the previous one. Linux shows no error boxes, so the mode
// is only kept.
UINT SetErrorMode(UINT uMode);
UINT GetErrorMode();

// Splits a path into drive (always empty on Linux), folder (up to and including the last '/'
// or '\'), file name and extension (from the last '.' of the name on). Any output may be
// null; each is cut to its _MAX_ size and terminated.
void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext);

// Joins the parts into path (at most _MAX_PATH characters with the null): a folder without a
// trailing separator gets '/', an extension without a leading '.' gets one.
void _makepath(char *path, const char *drive, const char *dir, const char *fname, const char *ext);

namespace pelmora::platform {
// The loader's explanation of this thread's last LoadLibraryA failure ("" if none).
const char *LoadLibraryErrorText();
}  // namespace pelmora::platform
