// vdtool: create, check, re-key, read and write VaultDisk containers without a driver.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bench_command.h"
#include "commands.h"
#include "selftest.h"

namespace vdtool {
namespace {

constexpr const char* kUsage =
    "usage: vdtool COMMAND [ARGUMENTS]\n"
    "\n"
    "  create FILE --size BYTES       new container; BYTES of data, a multiple of 262144\n"
    "  check FILE                     is the password right; which header salt opened it\n"
    "  passwd FILE                    change the password; the data stays as it is\n"
    "  read FILE --sector K [--count N]   deciphered sectors to standard output\n"
    "  write FILE --sector K          whole sectors from standard input, from sector K on\n"
    "  export FILE OUT                the whole data area, deciphered, into the file OUT\n"
    "  import FILE IN                 a plain image IN into the data area, from sector 0\n"
    "  selftest                       built-in known-answer tests\n"
    "  bench                          speed of the cipher and the password check\n"
    "\n"
    "Passwords are asked for at the terminal without echo, or read from the first line of\n"
    "--password-file FILE (and --new-password-file FILE for passwd): 4 to 40 characters.\n"
    "Exit status: 0 done, 1 failed, 2 wrong password, 64 bad usage.\n";

struct CommandSpec {
    std::string_view name;
    std::size_t operands;
    int (*run)(const Options&);
};

constexpr CommandSpec kCommands[] = {
    {"create", 1, RunCreate}, {"check", 1, RunCheck}, {"passwd", 1, RunPasswd},
    {"read", 1, RunRead},     {"write", 1, RunWrite}, {"export", 2, RunExport},
    {"import", 2, RunImport},
};

int Usage(const char* problem) {
    if (problem != nullptr) {
        std::fprintf(stderr, "vdtool: %s\n\n", problem);
    }
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Fills `options` from argv; returns an error text, or nullptr.
const char* Parse(int argc, char** argv, Options& options) {
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with("--")) {
            options.operands.emplace_back(arg);
            continue;
        }
        if (i + 1 == argc) {
            return "an option lacks its value";
        }
        const std::string_view value = argv[++i];
        std::optional<std::uint64_t>* number = arg == "--size"     ? &options.size
                                               : arg == "--sector" ? &options.sector
                                               : arg == "--count"  ? &options.count
                                                                   : nullptr;
        if (number != nullptr) {
            std::uint64_t parsed = 0;
            if (!ParseNumber(value, parsed)) {
                return "a number option needs a plain decimal number";
            }
            *number = parsed;
        } else if (arg == "--password-file") {
            options.passwordFile = value;
        } else if (arg == "--new-password-file") {
            options.newPasswordFile = value;
        } else {
            return "unknown option";
        }
    }
    if (options.count && *options.count == 0) {
        return "--count must be at least 1";
    }
    return nullptr;
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        return Usage(nullptr);
    }
    const std::string_view command = argv[1];
    if (command == "selftest" && argc == 2) {
        return RunSelfTest();
    }
    if (command == "bench" && argc == 2) {
        return RunBench();
    }
    if (command == "help" || command == "--help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    for (const CommandSpec& spec : kCommands) {
        if (spec.name != command) {
            continue;
        }
        Options options;
        options.command = command;
        if (const char* problem = Parse(argc, argv, options)) {
            return Usage(problem);
        }
        if (options.operands.size() != spec.operands) {
            return Usage("wrong number of file names for this command");
        }
        return spec.run(options);
    }
    return Usage("unknown command");
}

}  // namespace
}  // namespace vdtool

int main(int argc, char** argv) {
    return vdtool::Main(argc, argv);
}
