// VDReader's commands: the command line, the password read from the console, and the disk
// opened read-only or taken down through the controller.
#pragma once

#include <windows.h>

#include "common/interfaces/harborlock_interfaces.h"

// What a command ends with besides the controller's own results.
const HRESULT kReaderUsage = 87;     // no command, or the wrong arguments for it: usage shown
const HRESULT kReaderCancelled = 1;  // the user cancelled at a question

// Runs the command of `argv` ("/open FILE X:", "/close X:", "/crit_close X:") with `controller`,
// asking on the console what it must; prints what the user is to see.
HRESULT RunReader(IKvObject* controller, int argc, char** argv);
