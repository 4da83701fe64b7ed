// The driver development kit's main header: the WDM API and the legacy-driver extras.
#pragma once

#include "wdm.h"
