#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/password_rule.h"
#include "format/secure_wipe.h"
#include "text/text.h"

namespace vdtool {
namespace {

constexpr std::size_t kLineBytes = 256;

// A fixed buffer for one line of secret text, wiped when it goes.
struct SecretLine {
    char text[kLineBytes] = {};
    std::size_t length = 0;
    ~SecretLine() { vdformat::SecureWipeObject(text); }
};

// Reads up to the first newline (or the end) from `fd`; false when the line is too long.
bool ReadLine(int fd, SecretLine& line) {
    line.length = 0;
    char c = 0;
    while (true) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            break;
        }
        if (line.length == kLineBytes - 1) {
            return false;
        }
        line.text[line.length++] = c;
    }
    if (line.length > 0 && line.text[line.length - 1] == '\r') {
        --line.length;
    }
    c = 0;
    return true;
}

// Echo off on the terminal while it lives.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~NoEcho() {
        if (active_) {
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

bool Prompt(int tty, const char* prompt, SecretLine& line) {
    (void)!::write(tty, prompt, std::strlen(prompt));
    NoEcho quiet(tty);
    return ReadLine(tty, line);
}

bool FromFile(const std::string& path, SecretLine& line, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = ReadLine(fd, line);
    ::close(fd);
    if (!ok) {
        error = path + ": the first line is too long to be a password";
    }
    return ok;
}

bool FromTerminal(const PasswordSource& source, SecretLine& line, std::string& error) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        error = "no terminal to ask for the password on; use --password-file";
        return false;
    }
    bool ok = Prompt(tty, source.prompt, line);
    if (ok && source.confirm) {
        SecretLine again;
        ok = Prompt(tty, "Repeat the password: ", again);
        if (ok &&
            (again.length != line.length || std::memcmp(again.text, line.text, line.length) != 0)) {
            error = "the two passwords differ";
            ok = false;
        }
    } else if (!ok) {
        error = "the password is too long";
    }
    ::close(tty);
    return ok;
}

// Windows programs type a password in the ANSI code page (Windows-1252): the host's UTF-8 line
// becomes those bytes, so that the same typed text is the same key everywhere.
bool ToAnsi(SecretLine& line, std::string& error) {
    SecretLine ansi;
    std::string_view rest(line.text, line.length);
    while (!rest.empty()) {
        char32_t c = 0;
        const std::size_t length = hl::text::NextUtf8(rest, c);
        if (length == 0 || (c == 0xFFFD && length == 1)) {
            error = "the password is not UTF-8 text";
            return false;
        }
        unsigned char byte = 0;
        if (!hl::text::UnicodeToAnsi(c, byte)) {
            error =
                "the password holds a character that Windows-1252 lacks; Harborlock's programs "
                "could never type it";
            return false;
        }
        c = 0;
        ansi.text[ansi.length++] = static_cast<char>(byte);
        rest.remove_prefix(length);
    }
    vdformat::SecureWipeObject(line.text);
    std::memcpy(line.text, ansi.text, ansi.length);
    line.length = ansi.length;
    return true;
}

}  // namespace

Password::~Password() {
    vdformat::SecureWipeObject(key_);
}

bool Password::Set(const char* text, std::size_t length) {
    static_assert(kMaxPasswordLength <= vdformat::kUserKeyBytes);
    if (!PasswordLengthAllowed(length)) {
        return false;
    }
    vdformat::SecureWipeObject(key_);
    std::memcpy(key_.data(), text, length);
    length_ = length;
    return true;
}

bool ReadPassword(const PasswordSource& source, Password& password, std::string& error) {
    SecretLine line;
    const bool ok = source.file.empty() ? FromTerminal(source, line, error)
                                        : FromFile(source.file, line, error);
    if (!ok || !ToAnsi(line, error)) {
        return false;
    }
    if (!password.Set(line.text, line.length)) {
        error = "a password has " + std::to_string(kMinPasswordLength) + " to " +
                std::to_string(kMaxPasswordLength) + " characters; this one has " +
                std::to_string(line.length);
        return false;
    }
    return true;
}

}  // namespace vdtool
