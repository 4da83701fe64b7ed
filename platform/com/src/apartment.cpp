// Apartments: each thread joins one with CoInitializeEx and leaves it with as many
// CoUninitialize calls. Objects of in-process servers live in the apartment that created them;
// calls never cross apartments here, since nothing marshals them.
#include <objbase.h>

#include "internal.h"

namespace hl::com {

namespace {

struct ThreadApartment {
    Apartment kind = Apartment::None;
    unsigned joins = 0;
};

thread_local ThreadApartment current;

}  // namespace

Apartment CurrentApartment() {
    return current.kind;
}

}  // namespace hl::com

extern "C" {

HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    using hl::com::Apartment;
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    const Apartment wanted = (dwCoInit & COINIT_APARTMENTTHREADED) != 0 ? Apartment::SingleThreaded
                                                                        : Apartment::MultiThreaded;
    auto& current = hl::com::current;
    if (current.joins == 0) {
        current = {wanted, 1};
        return S_OK;
    }
    if (current.kind != wanted) {
        return RPC_E_CHANGED_MODE;
    }
    ++current.joins;
    return S_FALSE;
}

HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void STDAPICALLTYPE CoUninitialize(void) {
    auto& current = hl::com::current;
    if (current.joins == 0) {
        return;
    }
    if (--current.joins == 0) {
        current.kind = hl::com::Apartment::None;
        CoFreeUnusedLibraries();
    }
}

}  // extern "C"
