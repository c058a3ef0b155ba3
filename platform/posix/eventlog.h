// Event log: syslog.
#pragma once

#include "types.h"
