// FormatMessageA over our own table of Windows and Winsock texts.
//
// Only system messages are offered (FORMAT_MESSAGE_FROM_SYSTEM): the texts of the Windows and
// Winsock error codes this program reports, in the Windows (English) wording, each ending in
// "\r\n" as Windows gives it. Any language id gets the same text. Thread-safe.
#pragma once

#include <cstdarg>

#include "types.h"

typedef HANDLE HLOCAL;

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Copies the text of dwMessageId (a Windows or Winsock code, or an HRESULT of the Win32
// facility) into lpBuffer and returns its length without the null. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPSTR* that receives a buffer to be
// released with LocalFree. A width of FORMAT_MESSAGE_MAX_WIDTH_MASK turns the line breaks into
// blanks; other widths are not applied. Failures return 0: an unknown code with
// ERROR_MR_MID_NOT_FOUND, a buffer too small for text and null with ERROR_INSUFFICIENT_BUFFER,
// anything but a system lookup, or inserts that are not ignored, with ERROR_INVALID_PARAMETER.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list *Arguments);

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Returns null on success, as on Windows.
HLOCAL LocalFree(HLOCAL hMem);
