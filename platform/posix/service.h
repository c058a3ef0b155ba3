// Service control: the service manager calls, on systemd.
#pragma once

#include "types.h"
