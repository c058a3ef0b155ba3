// The one header through which our code reaches the operating system, by Win32 names.
// On Windows it is the system's own headers; elsewhere the platform layer in posix/.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>
#include <stdlib.h>
#else
#include "posix/types.h"
#include "posix/errors.h"
#include "posix/handle.h"
#include "posix/kernel.h"
#include "posix/thread.h"
#include "posix/time.h"
#include "posix/profile.h"
#include "posix/module.h"
#include "posix/file.h"
#include "posix/debug.h"
#include "posix/message.h"
#include "posix/socket.h"
#include "posix/iocp.h"
#include "posix/service.h"
#include "posix/eventlog.h"
#include "posix/registry.h"
#include "posix/console.h"
#endif
