// The program's string table: the texts of the controller's result codes by message number.
#pragma once

#include <windows.h>

// The text of a message, or "" when the table has none of that number.
const char* LoadMessage(UINT number);
