// Console control handlers and console windows.
#pragma once

#include "types.h"
