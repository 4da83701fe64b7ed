// A shared object that is no in-process server: it exports no DllGetClassObject, and its
// DllRegisterServer fails.
#include <objbase.h>

STDAPI DllRegisterServer() {
    return E_ACCESSDENIED;
}
