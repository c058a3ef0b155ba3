// Private-profile (INI) file reading with the Windows rules.
#pragma once

#include "types.h"
