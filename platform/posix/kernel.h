// Events, mutexes, semaphores, waits, critical sections and interlocked operations.
#pragma once

#include "types.h"
