// File handles: CreateFileA, SetFilePointer, WriteFile.
#pragma once

#include "types.h"
