// The start of a Windows program: like the C runtime of Windows, it hands main its arguments
// and console text in the ANSI code page. Runs before main, with main's own argument vector.
#include "standard_streams.h"

namespace {

char** arguments = nullptr;  // the converted copies, for the life of the process

void EnterProgram(int argc, char** argv, char** /*environment*/) {
    arguments = hl::win32::AnsiArguments(argc, argv);
    for (int i = 0; i < argc; ++i) {
        argv[i] = arguments[i];
    }
    hl::win32::ConvertStandardStreams();
}

__attribute__((section(".init_array"), used)) void (*const kEnterProgram)(int, char**,
                                                                          char**) = EnterProgram;

}  // namespace
