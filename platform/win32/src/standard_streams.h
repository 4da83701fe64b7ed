// A Windows program's arguments and console text are in the ANSI code page; the host's are
// UTF-8. These convert at the program's start, before main runs.
#pragma once

#include <cstdio>

namespace hl::win32 {

// Copies of `argv`'s strings in the ANSI code page, kept for the life of the process; a
// character the code page lacks becomes '?', as on Windows.
char** AnsiArguments(int argc, char** argv);

// A stream that reads the host's UTF-8 from `fd` and gives its text in the ANSI code page.
FILE* OpenAnsiReader(int fd);
// A stream that takes text in the ANSI code page and writes it to `fd` in UTF-8.
FILE* OpenAnsiWriter(int fd);

// stdin (unbuffered), stdout and stderr through the two streams above.
void ConvertStandardStreams();

}  // namespace hl::win32
