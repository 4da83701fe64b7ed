// The automation helpers for variants.
#pragma once

#include "oaidl.h"

extern "C" {

void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg);
// Empties a variant. A VT_LPSTR value is borrowed (the component that handed it out owns it)
// and is left alone.
HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg);

}  // extern "C"
