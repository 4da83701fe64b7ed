// hlsys COMMAND ARGS...: the system's own tool.
#include <cstdio>
#include <string_view>

#include "commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const hlsys::Arguments&);
    const char* arguments;
    const char* summary;
};

constexpr Command kCommands[] = {
#define HLSYS_COMMAND(function, name, arguments, summary) \
    {name, hlsys::function, arguments, summary},
#include "commands.def"
#undef HLSYS_COMMAND
};

int Help(std::FILE* stream) {
    std::fprintf(stream, "usage: hlsys COMMAND ARGS...\n\n");
    for (const Command& command : kCommands) {
        std::fprintf(stream, "  hlsys %s %s\n      %s\n", command.name, command.arguments,
                     command.summary);
    }
    return stream == stdout ? 0 : 2;
}

}  // namespace

namespace hlsys {

int Fail(const std::string& message) {
    std::fprintf(stderr, "hlsys: %s\n", message.c_str());
    return 1;
}

int Usage(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) {
            std::fprintf(stderr, "usage: hlsys %s %s\n", command.name, command.arguments);
        }
    }
    return 2;
}

}  // namespace hlsys

int main(int argc, char** argv) {
    if (argc < 2) {
        return Help(stderr);
    }
    const std::string_view name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        return Help(stdout);
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            return command.run(hlsys::Arguments(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "hlsys: unknown command '%s'\n", argv[1]);
    return Help(stderr);
}
