// Debugger output.
//
// Linux has no debugger channel: the text is dropped unless the environment variable
// PELMORA_DEBUG_OUTPUT names a file, to which it is appended exactly as given (no line end
// added). The variable is read on every call. Thread-safe: each text is appended whole, even
// when several threads or processes write at once.
#pragma once

#include "types.h"

void OutputDebugStringA(LPCSTR lpOutputString);
