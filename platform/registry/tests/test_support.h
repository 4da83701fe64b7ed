// Shared helpers of the registry store tests: a scratch folder and byte strings.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "registry/store.h"

namespace registry::testing {

// A fresh folder under /tmp, open to every user so that a child running as nobody can read it.
class ScratchFolder {
public:
    ScratchFolder() {
        // /tmp rather than $TMPDIR, which may sit below a folder closed to other users.
        std::error_code error;
        const std::filesystem::path base = std::filesystem::is_directory("/tmp", error)
                                               ? std::filesystem::path("/tmp")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "hlreg-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        ::chmod(path_.c_str(), 0755);
    }
    ~ScratchFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path registry() const { return path_ / "registry"; }

private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

inline const Caller kRoot{0, "root"};

}  // namespace registry::testing
