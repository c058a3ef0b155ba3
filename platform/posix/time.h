// Tick counts and system time.
#pragma once

#include "types.h"
