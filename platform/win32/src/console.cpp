// _getch: keys from the terminal in raw mode, translated to the codes Windows programs expect.
#include <conio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The terminal without echo and line editing while a key is read.
class RawTerminal {
public:
    RawTerminal() {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
            raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }
    ~RawTerminal() {
        if (active_) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        }
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

extern "C" int _getch(void) {
    RawTerminal raw;
    unsigned char key = 0;
    ssize_t got;
    do {
        got = ::read(STDIN_FILENO, &key, 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return -1;
    }
    switch (key) {
        case '\n':
            return '\r';
        case 127:  // the Backspace key of Linux terminals
            return 8;
        default:
            return key;
    }
}
