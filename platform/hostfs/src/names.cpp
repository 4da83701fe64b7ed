#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "hostfs/hostfs.h"
#include "text/text.h"

namespace hl::hostfs {

int FindEntry(const std::string& folder, std::u16string_view name, std::string& entry,
              bool& found) {
    const std::string exact = text::Utf16ToUtf8(name);
    struct stat st {};
    if (lstat((folder + "/" + exact).c_str(), &st) == 0) {
        entry = exact;
        found = true;
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        return errno;
    }
    found = false;
    entry = exact;
    while (const dirent* item = readdir(directory)) {
        if (text::EqualsNoCase(text::Utf8ToUtf16(item->d_name), name)) {
            entry = item->d_name;
            found = true;
            break;
        }
    }
    closedir(directory);
    return 0;
}

}  // namespace hl::hostfs
