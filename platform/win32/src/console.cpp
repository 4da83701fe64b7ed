// _getch: keys from the terminal in raw mode, translated to the codes Windows programs expect.
#include <conio.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "console_keys.h"
#include "text/text.h"

namespace hl::win32 {
namespace {

constexpr int kEscape = 27;
constexpr int kEnhanced = 0xE0;  // the prefix of the grey cursor keys, F11 and F12
constexpr int kFunction = 0;     // the prefix of F1 to F10

// Windows' codes of a special key alone, with Shift, with Ctrl and with Alt. The cursor keys
// keep their own code with Shift, and here with Alt too.
struct SpecialKey {
    int prefix;
    int plain;
    int shift;
    int ctrl;
    int alt;
};

constexpr SpecialKey kUp{kEnhanced, 0x48, 0x48, 0x8D, 0x48};
constexpr SpecialKey kDown{kEnhanced, 0x50, 0x50, 0x91, 0x50};
constexpr SpecialKey kRight{kEnhanced, 0x4D, 0x4D, 0x74, 0x4D};
constexpr SpecialKey kLeft{kEnhanced, 0x4B, 0x4B, 0x73, 0x4B};
constexpr SpecialKey kHome{kEnhanced, 0x47, 0x47, 0x77, 0x47};
constexpr SpecialKey kEnd{kEnhanced, 0x4F, 0x4F, 0x75, 0x4F};
constexpr SpecialKey kInsert{kEnhanced, 0x52, 0x52, 0x92, 0x52};
constexpr SpecialKey kDelete{kEnhanced, 0x53, 0x53, 0x93, 0x53};
constexpr SpecialKey kPageUp{kEnhanced, 0x49, 0x49, 0x84, 0x49};
constexpr SpecialKey kPageDown{kEnhanced, 0x51, 0x51, 0x76, 0x51};

constexpr SpecialKey FunctionKey(int n) {  // F1 to F12
    return n <= 10 ? SpecialKey{kFunction, 0x3A + n, 0x53 + n, 0x5D + n, 0x67 + n}
                   : SpecialKey{kEnhanced, 0x7A + n, 0x7C + n, 0x7E + n, 0x80 + n};
}

// The key of the sequence ESC [ <number> ~.
const SpecialKey* TildeKey(int number) {
    static constexpr SpecialKey kFunctions[12] = {
        FunctionKey(1), FunctionKey(2),  FunctionKey(3),  FunctionKey(4),
        FunctionKey(5), FunctionKey(6),  FunctionKey(7),  FunctionKey(8),
        FunctionKey(9), FunctionKey(10), FunctionKey(11), FunctionKey(12)};
    switch (number) {
        case 1:
        case 7:
            return &kHome;
        case 2:
            return &kInsert;
        case 3:
            return &kDelete;
        case 4:
        case 8:
            return &kEnd;
        case 5:
            return &kPageUp;
        case 6:
            return &kPageDown;
        default:
            break;
    }
    static constexpr int kNumbers[12] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24};
    for (int i = 0; i < 12; ++i) {
        if (kNumbers[i] == number) {
            return &kFunctions[i];
        }
    }
    return nullptr;
}

// The key of the final letter of ESC [ ... X or ESC O X.
const SpecialKey* LetterKey(int letter) {
    static constexpr SpecialKey kF1 = FunctionKey(1), kF2 = FunctionKey(2), kF3 = FunctionKey(3),
                                kF4 = FunctionKey(4);
    switch (letter) {
        case 'A':
            return &kUp;
        case 'B':
            return &kDown;
        case 'C':
            return &kRight;
        case 'D':
            return &kLeft;
        case 'H':
            return &kHome;
        case 'F':
            return &kEnd;
        case 'P':
            return &kF1;
        case 'Q':
            return &kF2;
        case 'R':
            return &kF3;
        case 'S':
            return &kF4;
        default:
            return nullptr;
    }
}

// xterm's modifier parameter is 1 plus Shift 1, Alt 2, Ctrl 4; Windows lets Alt win, then Ctrl.
int CodeFor(const SpecialKey& key, int modifier) {
    const int bits = modifier > 1 ? modifier - 1 : 0;
    if (bits & 2) {
        return key.alt;
    }
    if (bits & 4) {
        return key.ctrl;
    }
    if (bits & 1) {
        return key.shift;
    }
    return key.plain;
}

}  // namespace

KeyDecoder::~KeyDecoder() {
    std::memset(ahead_, 0, sizeof(ahead_));
    second_ = -1;
}

int KeyDecoder::Read(KeyBytes& input, bool soon) {
    if (aheadCount_ > 0) {
        const int byte = ahead_[0];
        std::memmove(ahead_, ahead_ + 1, aheadCount_ - 1);
        ahead_[--aheadCount_] = 0;
        return byte;
    }
    return input.Next(soon);
}

int KeyDecoder::Special(int prefix, int code) {
    second_ = code;
    return prefix;
}

int KeyDecoder::Next(KeyBytes& input) {
    if (second_ >= 0) {
        const int code = second_;
        second_ = -1;
        return code;
    }
    for (;;) {
        const int byte = Read(input, false);
        switch (byte) {
            case kEscape: {
                const int key = Escape(input);
                if (key >= 0) {
                    return key;
                }
                continue;  // a sequence of no key Windows knows: nothing was typed
            }
            case '\n':
                return '\r';
            case 127:  // the Backspace key of Linux terminals
                return 8;
            default:
                return byte < 0x80 ? byte : Text(input, byte);
        }
    }
}

// After ESC: a cursor or function key, or the Escape key itself; -1 for a sequence to ignore.
int KeyDecoder::Escape(KeyBytes& input) {
    const int introducer = Read(input, true);
    if (introducer != '[' && introducer != 'O') {
        if (introducer >= 0) {
            ahead_[aheadCount_++] = static_cast<unsigned char>(introducer);
        }
        return kEscape;
    }
    if (introducer == 'O') {
        const SpecialKey* key = LetterKey(Read(input, true));
        return key ? Special(key->prefix, key->plain) : -1;
    }
    // ESC [ parameters final; the Linux console writes F1 to F5 as ESC [ [ A to E.
    int parameters[2] = {0, 0};
    int count = 0;
    for (int length = 0; length < 16; ++length) {
        const int byte = Read(input, true);
        if (byte < 0) {
            return -1;
        }
        if (length == 0 && byte == '[') {
            const int letter = Read(input, true);
            if (letter >= 'A' && letter <= 'E') {
                const SpecialKey key = FunctionKey(letter - 'A' + 1);
                return Special(key.prefix, key.plain);
            }
            return -1;
        }
        if (byte >= '0' && byte <= '9') {
            if (count < 2) {
                parameters[count] = parameters[count] * 10 + (byte - '0');
            }
        } else if (byte == ';') {
            ++count;
        } else if (byte >= 0x40 && byte <= 0x7E) {
            const SpecialKey* key = byte == '~' ? TildeKey(parameters[0]) : LetterKey(byte);
            return key ? Special(key->prefix, CodeFor(*key, parameters[1])) : -1;
        } else if (byte < 0x20 || byte > 0x3F) {
            return -1;
        }
    }
    return -1;
}

// A character in the terminal's UTF-8, as its byte in the ANSI code page ('?' when it has none).
int KeyDecoder::Text(KeyBytes& input, int lead) {
    char bytes[4] = {static_cast<char>(lead)};
    std::size_t have = 1;
    char32_t c = 0;
    std::size_t length = 0;
    while ((length = text::NextUtf8(std::string_view(bytes, have), c)) == 0) {
        const int next = Read(input, true);
        if (next < 0) {
            c = 0xFFFD;
            length = have;
            break;
        }
        bytes[have++] = static_cast<char>(next);
    }
    for (std::size_t i = length; i < have; ++i) {  // bytes of an invalid sequence after its lead
        ahead_[aheadCount_++] = static_cast<unsigned char>(bytes[i]);
    }
    std::memset(bytes, 0, sizeof(bytes));
    unsigned char ansi = '?';
    const int key = text::UnicodeToAnsi(c, ansi) ? ansi : '?';
    c = 0;
    return key;
}

}  // namespace hl::win32

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

class StandardInput : public hl::win32::KeyBytes {
public:
    int Next(bool soon) override {
        if (soon) {
            pollfd ready{STDIN_FILENO, POLLIN, 0};
            int polled;
            do {
                polled = ::poll(&ready, 1, 100);
            } while (polled < 0 && errno == EINTR);
            if (polled <= 0) {
                return -1;
            }
        }
        unsigned char byte = 0;
        ssize_t got;
        do {
            got = ::read(STDIN_FILENO, &byte, 1);
        } while (got < 0 && errno == EINTR);
        return got == 1 ? byte : -1;
    }
};

}  // namespace

// At the end of input, EOF: the C runtime of Windows gives it when the console cannot be read.
extern "C" int _getch(void) {
    static hl::win32::KeyDecoder decoder;
    RawTerminal raw;
    StandardInput input;
    return decoder.Next(input);
}
