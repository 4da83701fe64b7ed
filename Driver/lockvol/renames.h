// The folder renames the driver carries out for user mode.
#pragma once

#include <ntddk.h>

// Runs the deferred renames and starts the rename thread. For now the driver queues no renames,
// so this returns at once.
VOID StartRenames(PUNICODE_STRING RegistryPath);
