#include "lib/nested.h"
