#include <string.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "lib/good.h"
