// Threads, thread ids and sleeping.
#pragma once

#include "types.h"
