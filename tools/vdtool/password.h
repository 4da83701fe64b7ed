// Passwords as 40-byte user keys: from a file's first line or from a prompt without echo.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "format/key_schedule.h"

namespace vdtool {

// A user key that wipes itself.
class Password {
public:
    Password() = default;
    ~Password();
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;

    vdformat::UserKey Key() const { return vdformat::UserKey(key_); }
    std::size_t Length() const { return length_; }
    bool Set(const char* text, std::size_t length);  // false when not 4 to 40 characters

private:
    std::array<std::uint8_t, vdformat::kUserKeyBytes> key_{};
    std::size_t length_ = 0;
};

struct PasswordSource {
    std::string file;      // empty: ask at the terminal
    bool confirm = false;  // ask twice (a new password)
    const char* prompt = "Password: ";
};

// Fills `password`; on failure `error` says why.
bool ReadPassword(const PasswordSource& source, Password& password, std::string& error);

}  // namespace vdtool
