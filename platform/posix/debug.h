// Debugger output.
#pragma once

#include "types.h"
