// The folder renames: for now a hook that start-up calls in its place, doing nothing yet.
#include "lockvol/renames.h"

VOID StartRenames(PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
}
