// Self-registration results of in-process servers.
#pragma once

#include "objbase.h"

#define SELFREG_E_TYPELIB ((HRESULT)0x80040200L)
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)
