// Console input without echo, as the C runtime of Windows gives it.
#pragma once

extern "C" {

// One key from the console, not echoed and without waiting for a line: Enter is '\r',
// Backspace 8, Escape 27. At the end of input it returns EOF (-1).
int _getch(void);

}  // extern "C"
