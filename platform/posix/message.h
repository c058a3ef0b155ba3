// FormatMessageA over our own table of Windows and Winsock texts.
#pragma once

#include "types.h"
