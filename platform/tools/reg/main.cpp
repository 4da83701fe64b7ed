// reg OPERATION [PARAMETERS]: the console registry tool.
#include <cstdio>

#include "reg.h"

namespace {

struct Operation {
    const char* name;
    int (*run)(const reg::Arguments&);
    const char* syntax;
};

constexpr Operation kOperations[] = {
    {"QUERY", reg::Query, "REG QUERY KeyName [/v ValueName | /ve] [/s]"},
    {"ADD", reg::Add,
     "REG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]"},
    {"DELETE", reg::Delete, "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]"},
    {"EXPORT", reg::Export, "REG EXPORT KeyName FileName [/y]"},
    {"IMPORT", reg::Import, "REG IMPORT FileName"},
};

void Usage() {
    std::printf(
        "\n"
        "REG Operation [Parameter List]\n"
        "\n"
        "  Operation  [ QUERY   | ADD    | DELETE  |\n"
        "               EXPORT  | IMPORT ]\n"
        "\n"
        "Return Code:\n"
        "\n"
        "  0 - Successful\n"
        "  1 - Failed\n"
        "\n"
        "For help on a specific operation type:\n"
        "\n"
        "  REG Operation /?\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "/?" || std::string(argv[1]) == "-?") {
        Usage();
        return argc < 2 ? reg::kFailure : reg::kSuccess;
    }
    const reg::Arguments arguments(argv + 2, argv + argc);
    for (const Operation& operation : kOperations) {
        if (reg::SameText(argv[1], operation.name)) {
            if (arguments.size() == 1 && (arguments[0] == "/?" || arguments[0] == "-?")) {
                std::printf("\n%s\n", operation.syntax);
                return reg::kSuccess;
            }
            return operation.run(arguments);
        }
    }
    std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n");
    return reg::kFailure;
}
