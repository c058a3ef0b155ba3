// Winsock: sockets, addresses and overlapped I/O.
#pragma once

#include "types.h"
