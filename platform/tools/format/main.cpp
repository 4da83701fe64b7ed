// format X: [/FS:NTFS] [/Q] [/V:label] [/Y]: the system's format command, for NTFS volumes on the
// kernel's disk devices. It asks before it destroys anything, as Windows' own does.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/system_calls.h"

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "Formats a disk for use with Windows.\n\nFORMAT volume [/FS:NTFS] [/V:label] [/Q] [/Y]\n");
    return 4;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != 0; ++text, ++prefix) {
        if (std::toupper(static_cast<unsigned char>(*text)) !=
            std::toupper(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::isalpha(static_cast<unsigned char>(argv[1][0])) || argv[1][1] != ':' ||
        argv[1][2] != 0) {
        return Usage();
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(argv[1][0])));
    std::string label;
    bool ask = true;
    for (int i = 2; i < argc; ++i) {
        if (StartsWithNoCase(argv[i], "/FS:")) {
            if (!StartsWithNoCase(argv[i] + 4, "NTFS") || argv[i][8] != 0) {
                std::printf("The file system type %s is not supported.\n", argv[i] + 4);
                return 4;
            }
        } else if (StartsWithNoCase(argv[i], "/V:")) {
            label = argv[i] + 3;
        } else if (StartsWithNoCase(argv[i], "/Y")) {
            ask = false;
        } else if (!StartsWithNoCase(argv[i], "/Q") && !StartsWithNoCase(argv[i], "/X")) {
            return Usage();
        }
    }
    const char root[] = {letter, ':', '\\', 0};
    if (letter == 'C' || GetDriveTypeA(root) != DRIVE_FIXED) {
        std::printf(letter == 'C' ? "Cannot format the system's drive C:.\n"
                                  : "The specified drive does not exist.\n");
        return 4;
    }
    std::printf(
        "The type of the file system is RAW.\nThe new file system is NTFS.\n\n"
        "WARNING, ALL DATA ON NON-REMOVABLE DISK\nDRIVE %c: WILL BE LOST!\n"
        "Proceed with Format (Y/N)? ",
        letter);
    if (ask) {
        std::fflush(stdout);
        char answer[16] = {};
        if (std::fgets(answer, sizeof(answer), stdin) == nullptr ||
            std::toupper(static_cast<unsigned char>(answer[0])) != 'Y') {
            std::printf("\n");
            return 5;
        }
    } else {
        std::printf("Y\n");
    }
    std::printf("QuickFormatting...\nCreating file system structures.\n");
    std::string reason;
    if (const DWORD error = hl::win32::FormatVolume(letter, label, &reason);
        error != ERROR_SUCCESS) {
        std::printf("Format failed (error %lu).\n", static_cast<unsigned long>(error));
        if (!reason.empty()) {
            std::printf("%s\n", reason.c_str());
        }
        return 4;
    }
    std::printf("Format complete.\n");
    return 0;
}
