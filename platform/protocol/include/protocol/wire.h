// The byte encoding of the kernel's request protocol: little-endian integers and counted byte
// strings, read back with every length checked against what is left.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/bytes.h"

namespace hl::protocol {

// The length of a counted field with no bound of its own: one only replies carry.
inline constexpr std::uint32_t kUnbounded = 0xFFFFFFFF;

class Writer;

// A message or record: it lists its fields once, in a Fields(archive) member, for writing, for
// reading and for its largest size alike. A counted field of a request names the most bytes it
// may hold; the reader refuses more, and the daemon refuses a body longer than the sum.
template <typename T>
concept HasFields = requires(T& t, Writer& w) {
    t.Fields(w);
};

// Appends fields to a message body.
class Writer {
public:
    void Field(const std::uint8_t& v) { Put(&v, 1); }
    void Field(const std::uint16_t& v) { Put(&v, sizeof(v)); }
    void Field(const std::uint32_t& v) { Put(&v, sizeof(v)); }
    void Field(const std::int32_t& v) { Put(&v, sizeof(v)); }
    void Field(const std::uint64_t& v) { Put(&v, sizeof(v)); }
    void Field(const std::int64_t& v) { Put(&v, sizeof(v)); }
    void Field(const std::string& v, std::uint32_t = kUnbounded) { Counted(v.data(), v.size()); }
    void Field(const std::u16string& v, std::uint32_t = kUnbounded) {
        Counted(v.data(), v.size() * sizeof(char16_t));
    }
    void Field(const Bytes& v, std::uint32_t = kUnbounded) { Counted(v.data(), v.size()); }
    template <typename T>
    void Field(const std::vector<T>& items) {
        const auto count = static_cast<std::uint32_t>(items.size());
        Field(count);
        for (const T& item : items) {
            if constexpr (HasFields<T>) {
                const_cast<T&>(item).Fields(*this);  // Fields only reads through a Writer
            } else {
                Field(item);
            }
        }
    }

    Bytes& Body() { return bytes_; }

private:
    void Put(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void Counted(const void* data, std::size_t size) {
        const auto length = static_cast<std::uint32_t>(size);
        Field(length);
        Put(data, size);
    }
    Bytes bytes_;
};

// Takes fields off a message body; once a read runs past the end every later read fails too,
// and the message is refused as a whole.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> body) : body_(body) {}

    void Field(std::uint8_t& v) { Take(&v, 1); }
    void Field(std::uint16_t& v) { Take(&v, sizeof(v)); }
    void Field(std::uint32_t& v) { Take(&v, sizeof(v)); }
    void Field(std::int32_t& v) { Take(&v, sizeof(v)); }
    void Field(std::uint64_t& v) { Take(&v, sizeof(v)); }
    void Field(std::int64_t& v) { Take(&v, sizeof(v)); }
    void Field(std::string& v, std::uint32_t limit = kUnbounded) {
        const std::uint32_t length = Length(limit);
        v.assign(reinterpret_cast<const char*>(Here()), ok_ ? length : 0);
        Skip(length);
    }
    void Field(std::u16string& v, std::uint32_t limit = kUnbounded) {
        const std::uint32_t length = Length(limit);
        if (!ok_ || length % sizeof(char16_t) != 0) {
            ok_ = false;
            return;
        }
        v.resize(length / sizeof(char16_t));
        std::memcpy(v.data(), Here(), length);
        Skip(length);
    }
    void Field(Bytes& v, std::uint32_t limit = kUnbounded) {
        const std::uint32_t length = Length(limit);
        v.assign(Here(), Here() + (ok_ ? length : 0));
        Skip(length);
    }
    template <typename T>
    void Field(std::vector<T>& items) {
        std::uint32_t count = 0;
        Field(count);
        // Every item takes at least one byte, so a count beyond what is left is a lie.
        if (!ok_ || count > Remaining()) {
            ok_ = false;
            return;
        }
        items.resize(count);
        for (T& item : items) {
            if constexpr (HasFields<T>) {
                item.Fields(*this);
            } else {
                Field(item);
            }
        }
    }

    // True when every field was there and nothing is left over.
    bool Complete() const { return ok_ && offset_ == body_.size(); }

private:
    std::size_t Remaining() const { return body_.size() - offset_; }
    const std::uint8_t* Here() const { return body_.data() + offset_; }
    void Take(void* out, std::size_t size) {
        if (!ok_ || size > Remaining()) {
            ok_ = false;
            std::memset(out, 0, size);
            return;
        }
        std::memcpy(out, Here(), size);
        offset_ += size;
    }
    std::uint32_t Length(std::uint32_t limit) {
        std::uint32_t length = 0;
        Field(length);
        if (length > Remaining() || length > limit) {
            ok_ = false;
            return 0;
        }
        return length;
    }
    void Skip(std::size_t size) {
        if (ok_) {
            offset_ += size;
        }
    }

    std::span<const std::uint8_t> body_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

// Adds up the most bytes each field can take; every counted field must name its bound.
class SizeBound {
public:
    template <typename T>
    requires std::is_integral_v<T>
    void Field(const T&) { size_ += sizeof(T); }
    void Field(const std::string&, std::uint32_t limit) { Counted(limit); }
    void Field(const std::u16string&, std::uint32_t limit) { Counted(limit); }
    void Field(const Bytes&, std::uint32_t limit) { Counted(limit); }

    std::uint64_t Size() const { return size_; }

private:
    void Counted(std::uint32_t limit) { size_ += sizeof(std::uint32_t) + std::uint64_t{limit}; }
    std::uint64_t size_ = 0;
};

template <typename Message>
Bytes Encode(const Message& message) {
    Writer writer;
    const_cast<Message&>(message).Fields(writer);
    return std::move(writer.Body());
}

// The longest body a message of this record can have.
template <typename Message>
std::uint64_t MaxEncodedSize() {
    Message message;
    SizeBound bound;
    message.Fields(bound);
    return bound.Size();
}

template <typename Message>
bool Decode(std::span<const std::uint8_t> body, Message& message) {
    Reader reader(body);
    message.Fields(reader);
    return reader.Complete();
}

}  // namespace hl::protocol
