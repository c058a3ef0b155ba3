// Registry: absent on this platform; every call fails with ERROR_CALL_NOT_IMPLEMENTED.
#pragma once

#include "types.h"
