// Console text of Windows programs: keys as _getch gives them, arguments and standard streams in
// the ANSI code page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "console_keys.h"
#include "standard_streams.h"

namespace {

using hl::win32::KeyDecoder;

// Scripted terminal bytes; '|' marks a pause, where a byte awaited "soon" does not come.
class Script : public hl::win32::KeyBytes {
public:
    explicit Script(std::string bytes) : bytes_(std::move(bytes)) {}
    int Next(bool soon) override {
        while (next_ < bytes_.size() && bytes_[next_] == '|') {
            if (soon) {
                return -1;
            }
            ++next_;
        }
        return next_ < bytes_.size() ? static_cast<unsigned char>(bytes_[next_++]) : -1;
    }

private:
    std::string bytes_;
    std::size_t next_ = 0;
};

// Everything _getch returns for `typed`, up to and including the first end of input.
std::vector<int> Keys(const std::string& typed) {
    Script script(typed);
    KeyDecoder decoder;
    std::vector<int> keys;
    for (int i = 0; i < 64; ++i) {
        keys.push_back(decoder.Next(script));
        if (keys.back() < 0) {
            break;
        }
    }
    return keys;
}

struct KeyCase {
    const char* name;
    std::string typed;
    std::vector<int> keys;
};

TEST(ConsoleKeys, TerminalSequencesBecomeWindowsKeyCodes) {
    const KeyCase cases[] = {
        {"up", "\x1b[A", {0xE0, 0x48, -1}},
        {"down", "\x1b[B", {0xE0, 0x50, -1}},
        {"right", "\x1b[C", {0xE0, 0x4D, -1}},
        {"left", "\x1b[D", {0xE0, 0x4B, -1}},
        {"up in application mode", "\x1bOA", {0xE0, 0x48, -1}},
        {"home", "\x1b[H", {0xE0, 0x47, -1}},
        {"end", "\x1bOF", {0xE0, 0x4F, -1}},
        {"home as 1~", "\x1b[1~", {0xE0, 0x47, -1}},
        {"insert", "\x1b[2~", {0xE0, 0x52, -1}},
        {"delete", "\x1b[3~", {0xE0, 0x53, -1}},
        {"end as 4~", "\x1b[4~", {0xE0, 0x4F, -1}},
        {"page up", "\x1b[5~", {0xE0, 0x49, -1}},
        {"page down", "\x1b[6~", {0xE0, 0x51, -1}},
        {"F1", "\x1bOP", {0x00, 0x3B, -1}},
        {"F4", "\x1bOS", {0x00, 0x3E, -1}},
        {"F1 of the Linux console", "\x1b[[A", {0x00, 0x3B, -1}},
        {"F5", "\x1b[15~", {0x00, 0x3F, -1}},
        {"F6", "\x1b[17~", {0x00, 0x40, -1}},
        {"F10", "\x1b[21~", {0x00, 0x44, -1}},
        {"F11", "\x1b[23~", {0xE0, 0x85, -1}},
        {"F12", "\x1b[24~", {0xE0, 0x86, -1}},
        {"ctrl up", "\x1b[1;5A", {0xE0, 0x8D, -1}},
        {"ctrl left", "\x1b[1;5D", {0xE0, 0x73, -1}},
        {"shift up", "\x1b[1;2A", {0xE0, 0x48, -1}},
        {"shift F1", "\x1b[1;2P", {0x00, 0x54, -1}},
        {"ctrl F5", "\x1b[15;5~", {0x00, 0x62, -1}},
        {"alt F12", "\x1b[24;3~", {0xE0, 0x8C, -1}},
        {"keys around an arrow", "a\x1b[Ab", {'a', 0xE0, 0x48, 'b', -1}},
        {"two arrows", "\x1b[A\x1b[B", {0xE0, 0x48, 0xE0, 0x50, -1}},
        {"unknown sequence is no key", "\x1b[99~x", {'x', -1}},
        {"cut sequence is no key", "\x1b[1|x", {'x', -1}},
    };
    for (const KeyCase& c : cases) {
        EXPECT_EQ(Keys(c.typed), c.keys) << c.name;
    }
}

TEST(ConsoleKeys, EscapeAloneEnterBackspaceAndEndOfInput) {
    const KeyCase cases[] = {
        {"lone Escape", "\x1b|", {27, -1}},
        {"Escape at the end of input", "\x1b", {27, -1}},
        {"Escape, then a key", "\x1b|a", {27, 'a', -1}},
        {"Escape typed twice", "\x1b|\x1b|", {27, 27, -1}},
        {"Escape and a letter at once", "\x1bx", {27, 'x', -1}},
        {"Enter as newline", "\n", {'\r', -1}},
        {"Enter as return", "\r", {'\r', -1}},
        {"Backspace", "\x7f", {8, -1}},
        {"end of input", "", {-1}},
    };
    for (const KeyCase& c : cases) {
        EXPECT_EQ(Keys(c.typed), c.keys) << c.name;
    }
    // At the end of input every call says so; no byte 0xFF is ever made of it.
    Script script("");
    KeyDecoder decoder;
    EXPECT_EQ(decoder.Next(script), -1);
    EXPECT_EQ(decoder.Next(script), -1);
}

TEST(ConsoleKeys, TextArrivesInTheAnsiCodePage) {
    const KeyCase cases[] = {
        {"cafépw", "caf\xC3\xA9pw\r", {'c', 'a', 'f', 0xE9, 'p', 'w', '\r', -1}},
        {"euro sign", "\xE2\x82\xAC", {0x80, -1}},
        {"y with diaeresis is a key, not the end", "\xC3\xBF", {0xFF, -1}},
        {"no form in the code page", "\xE4\xB8\xAD", {'?', -1}},
        {"beyond the basic plane", "\xF0\x9F\x98\x80", {'?', -1}},
        {"invalid lead byte",
         "\xFF"
         "a",
         {'?', 'a', -1}},
        {"sequence broken by a key",
         "\xC3"
         "a",
         {'?', 'a', -1}},
        {"sequence cut by the end", "\xE2\x82", {'?', -1}},
    };
    for (const KeyCase& c : cases) {
        EXPECT_EQ(Keys(c.typed), c.keys) << c.name;
    }
}

TEST(ProgramText, ArgumentsInTheAnsiCodePage) {
    std::string program = "VDReader.exe", file = "C:\\caf\xC3\xA9.vd", euro = "\xE2\x82\xAC",
                other = "\xE4\xB8\xAD.vd";
    char* argv[] = {program.data(), file.data(), euro.data(), other.data(), nullptr};
    char** ansi = hl::win32::AnsiArguments(4, argv);
    EXPECT_STREQ(ansi[0], "VDReader.exe");
    EXPECT_STREQ(ansi[1], "C:\\caf\xE9.vd");
    EXPECT_STREQ(ansi[2], "\x80");
    EXPECT_STREQ(ansi[3], "?.vd");
    EXPECT_EQ(ansi[4], nullptr);
    EXPECT_STREQ(argv[1], "C:\\caf\xC3\xA9.vd");  // the host's own vector is left as it was
    for (int i = 0; i < 4; ++i) {
        delete[] ansi[i];
    }
    delete[] ansi;
}

class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe(ends_), 0); }
    ~Pipe() {
        CloseWrite();
        ::close(ends_[0]);
    }
    int Read() const { return ends_[0]; }
    int Write() const { return ends_[1]; }
    void Put(const std::string& bytes) const {
        EXPECT_EQ(::write(ends_[1], bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    void CloseWrite() {
        if (ends_[1] >= 0) {
            ::close(ends_[1]);
            ends_[1] = -1;
        }
    }
    std::string Drain() {
        CloseWrite();
        std::string all;
        char buffer[256];
        ssize_t got;
        while ((got = ::read(ends_[0], buffer, sizeof(buffer))) > 0) {
            all.append(buffer, static_cast<std::size_t>(got));
        }
        return all;
    }

private:
    int ends_[2] = {-1, -1};
};

TEST(ProgramText, OutputIsWrittenInUtf8) {
    Pipe pipe;
    FILE* out = hl::win32::OpenAnsiWriter(pipe.Write());
    ASSERT_NE(out, nullptr);
    std::fprintf(out, "caf\xE9: %s \x80 \xFF\n", "\\??\\C:\\d\xFC.vd");
    std::fclose(out);
    EXPECT_EQ(pipe.Drain(), "caf\xC3\xA9: \\??\\C:\\d\xC3\xBC.vd \xE2\x82\xAC \xC3\xBF\n");
}

TEST(ProgramText, InputIsReadInTheAnsiCodePage) {
    Pipe pipe;
    pipe.Put("caf\xC3\xA9pw\n\xE2\x82\xAC \xE4\xB8\xAD\n\xFFz\n");
    pipe.CloseWrite();
    FILE* in = hl::win32::OpenAnsiReader(pipe.Read());
    ASSERT_NE(in, nullptr);
    char line[64];
    ASSERT_NE(std::fgets(line, sizeof(line), in), nullptr);
    EXPECT_STREQ(line, "caf\xE9pw\n");
    ASSERT_NE(std::fgets(line, sizeof(line), in), nullptr);
    EXPECT_STREQ(line, "\x80 ?\n");
    ASSERT_NE(std::fgets(line, sizeof(line), in), nullptr);
    EXPECT_STREQ(line, "?z\n");
    EXPECT_EQ(std::fgets(line, sizeof(line), in), nullptr);
    std::fclose(in);
}

TEST(ProgramText, ACharacterSplitBetweenReadsStaysWhole) {
    Pipe pipe;
    FILE* in = hl::win32::OpenAnsiReader(pipe.Read());
    ASSERT_NE(in, nullptr);
    pipe.Put("caf\xC3");
    std::thread later([&pipe] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pipe.Put("\xA9\n");
    });
    char line[64];
    const bool got = std::fgets(line, sizeof(line), in) != nullptr;
    later.join();
    ASSERT_TRUE(got);
    EXPECT_STREQ(line, "caf\xE9\n");
    std::fclose(in);
}

}  // namespace
