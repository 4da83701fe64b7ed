// Task memory and variants.
#include <objbase.h>

#include <cstdlib>

extern "C" {

LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}

LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg) {
    if (pvarg != nullptr) {
        *pvarg = {};
        pvarg->vt = VT_EMPTY;
    }
}

HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) {
        return E_INVALIDARG;
    }
    if (pvarg->vt == VT_UNKNOWN && pvarg->punkVal != nullptr) {
        pvarg->punkVal->Release();
    }
    VariantInit(pvarg);
    return S_OK;
}

}  // extern "C"
