#include "kernel/kernel.h"
