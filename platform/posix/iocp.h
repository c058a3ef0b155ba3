// I/O completion ports.
#pragma once

#include "types.h"
