#pragma once
#include <ntddk.h>

#include "sibling.h"
