#include "../outside/internal.h"
