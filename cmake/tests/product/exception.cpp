#include "com/server.h"
