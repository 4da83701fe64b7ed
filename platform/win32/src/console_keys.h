// Keys of a host terminal as Windows' console delivers them to _getch: text in the ANSI code
// page, and the cursor and function keys as a prefix byte (0xE0 or 0) followed by their code.
#pragma once

#include <cstddef>

namespace hl::win32 {

// The terminal's bytes, one at a time.
class KeyBytes {
public:
    virtual ~KeyBytes() = default;
    // The next byte, or -1 at the end of input. With `soon`, also -1 when no byte arrives within
    // a moment: a terminal sends the rest of an escape sequence at once, a person does not.
    virtual int Next(bool soon) = 0;
};

class KeyDecoder {
public:
    KeyDecoder() = default;
    ~KeyDecoder();
    KeyDecoder(const KeyDecoder&) = delete;
    KeyDecoder& operator=(const KeyDecoder&) = delete;

    // What _getch returns: one byte of a key (0 to 255), or -1 at the end of input.
    int Next(KeyBytes& input);

private:
    int Read(KeyBytes& input, bool soon);
    int Escape(KeyBytes& input);
    int Text(KeyBytes& input, int lead);
    int Special(int prefix, int code);

    // The code of a two-byte key, for the next call.
    int second_ = -1;
    // Bytes read ahead that belong to later keys.
    unsigned char ahead_[4] = {};
    std::size_t aheadCount_ = 0;
};

}  // namespace hl::win32
