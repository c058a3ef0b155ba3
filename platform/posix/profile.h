// Private-profile (INI) file reading with the Windows rules.
//
// - Section and key names compare without regard to case; blanks (spaces, tabs) around names
//   and values are dropped, in the file and in the names asked for.
// - A value enclosed in matching quotes ('...' or "...") loses its quotes.
// - Lines whose first non-blank character is ';' are comments; lines without '=' inside a
//   section carry no key. The first of several equal sections or keys counts.
// - CR LF and LF line ends are both read; a UTF-8 byte-order mark is skipped.
// - A missing file, section or key gives the default.
// - A file name without any path separator ('/' or '\') is looked up in the Windows directory;
//   Linux has none, so such a name is taken from the current directory. '\' in a path is a
//   separator, as on Windows.
//
// The file is read anew on every call (an edit takes effect at once) and never written.
// Thread-safe: no state is kept between calls.
#pragma once

#include "types.h"

// The key's value as an integer: optional blanks, optional sign, then the leading decimal
// digits ("12abc" gives 12, "-3" gives the bits of -3, "abc" gives 0; no hexadecimal). An empty
// or missing value gives nDefault.
UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName);

// Copies the key's value (or lpDefault, "" when null, without trailing blanks) into the buffer:
// at most nSize - 1 characters, always terminated; returns the number of characters copied
// (nSize - 1 when the value was cut). A null lpKeyName lists the section's keys, a null
// lpAppName the file's sections, each name terminated and the list ended by a second null; a
// list that does not fit is cut, ended by two nulls, and nSize - 2 is returned.
DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
