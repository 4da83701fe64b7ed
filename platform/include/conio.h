// Console input without echo, as the C runtime of Windows gives it.
#pragma once

extern "C" {

// One key from the console, not echoed and without waiting for a line: a character in the ANSI
// code page, Enter '\r', Backspace 8, Escape 27; a cursor or function key is two calls, 0xE0 or 0
// and then its code. At the end of input it returns EOF (-1).
int _getch(void);

}  // extern "C"
