// Module paths, path splitting and dynamic libraries.
#pragma once

#include "types.h"
