#include "standard_streams.h"

#include <string.h>  // explicit_bzero
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "text/text.h"

namespace hl::win32 {
namespace {

// Console text may be a password typed at a prompt: its buffers are wiped once used.
struct Reader {
    int fd;
    bool owned;  // made for one stream, which deletes it when it closes
    char raw[4096] = {};
    std::size_t rawLength = 0;
    bool ended = false;
};

ssize_t ReadAnsi(void* cookie, char* buffer, std::size_t size) {
    auto& reader = *static_cast<Reader*>(cookie);
    for (;;) {
        std::size_t out = 0;
        std::size_t used = 0;
        while (out < size && used < reader.rawLength) {
            char32_t c = 0;
            std::size_t length =
                text::NextUtf8(std::string_view(reader.raw + used, reader.rawLength - used), c);
            if (length == 0) {
                if (!reader.ended) {
                    break;  // the rest of the character comes with the next read
                }
                c = 0xFFFD;
                length = 1;
            }
            used += length;
            unsigned char ansi = '?';
            buffer[out++] = static_cast<char>(text::UnicodeToAnsi(c, ansi) ? ansi : '?');
        }
        std::memmove(reader.raw, reader.raw + used, reader.rawLength - used);
        explicit_bzero(reader.raw + reader.rawLength - used, used);
        reader.rawLength -= used;
        if (out > 0) {
            return static_cast<ssize_t>(out);
        }
        if (reader.ended) {
            reader.ended = false;  // a terminal may give more after its end of input
            return 0;
        }
        const ssize_t got =
            ::read(reader.fd, reader.raw + reader.rawLength, sizeof(reader.raw) - reader.rawLength);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            reader.ended = true;
        }
        reader.rawLength += static_cast<std::size_t>(got);
    }
}

int CloseReader(void* cookie) {
    auto* reader = static_cast<Reader*>(cookie);
    explicit_bzero(reader->raw, sizeof(reader->raw));
    reader->rawLength = 0;
    if (reader->owned) {
        delete reader;
    }
    return 0;
}

struct Writer {
    int fd;
    bool owned;
};

ssize_t WriteUtf8(void* cookie, const char* buffer, std::size_t size) {
    const int fd = static_cast<Writer*>(cookie)->fd;
    std::string utf8;
    utf8.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        text::AppendUtf8(utf8, text::AnsiToUnicode(static_cast<unsigned char>(buffer[i])));
    }
    std::size_t done = 0;
    while (done < utf8.size()) {
        const ssize_t put = ::write(fd, utf8.data() + done, utf8.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            explicit_bzero(utf8.data(), utf8.size());
            return -1;
        }
        done += static_cast<std::size_t>(put);
    }
    explicit_bzero(utf8.data(), utf8.size());
    return static_cast<ssize_t>(size);
}

int CloseWriter(void* cookie) {
    auto* writer = static_cast<Writer*>(cookie);
    if (writer->owned) {
        delete writer;
    }
    return 0;
}

FILE* OpenReader(Reader* reader) {
    return ::fopencookie(reader, "r", {ReadAnsi, nullptr, nullptr, CloseReader});
}

FILE* OpenWriter(Writer* writer) {
    return ::fopencookie(writer, "w", {nullptr, WriteUtf8, nullptr, CloseWriter});
}

}  // namespace

char** AnsiArguments(int argc, char** argv) {
    auto** ansi = new char*[static_cast<std::size_t>(argc) + 1];
    for (int i = 0; i < argc; ++i) {
        const std::string converted = text::Utf8ToAnsi(argv[i]);
        ansi[i] = new char[converted.size() + 1];
        std::memcpy(ansi[i], converted.c_str(), converted.size() + 1);
    }
    ansi[argc] = nullptr;
    return ansi;
}

FILE* OpenAnsiReader(int fd) {
    auto* reader = new Reader{fd, true};
    FILE* stream = OpenReader(reader);
    if (stream == nullptr) {
        delete reader;
    }
    return stream;
}

FILE* OpenAnsiWriter(int fd) {
    auto* writer = new Writer{fd, true};
    FILE* stream = OpenWriter(writer);
    if (stream == nullptr) {
        delete writer;
    }
    return stream;
}

void ConvertStandardStreams() {
    // The streams stay open for the life of the process.
    static Reader input{STDIN_FILENO, false};
    static Writer output{STDOUT_FILENO, false};
    static Writer errors{STDERR_FILENO, false};
    if (FILE* in = OpenReader(&input)) {
        // Unbuffered: a password read from standard input then stays in no stdio buffer, only
        // in the reader's own, which is wiped as it is consumed.
        std::setvbuf(in, nullptr, _IONBF, 0);
        stdin = in;
    }
    if (FILE* out = OpenWriter(&output)) {
        std::setvbuf(out, nullptr, ::isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
        stdout = out;
    }
    if (FILE* err = OpenWriter(&errors)) {
        std::setvbuf(err, nullptr, _IONBF, 0);
        stderr = err;
    }
}

}  // namespace hl::win32
