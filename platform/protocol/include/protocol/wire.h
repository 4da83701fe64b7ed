// The byte encoding of the kernel's request protocol: little-endian integers and counted byte
// strings, read back with every length checked against what is left.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace hl::protocol {

class Writer;

// A message or record: it lists its fields once, in a Fields(archive) member, for writing and
// for reading alike.
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
    void Field(const std::string& v) { Counted(v.data(), v.size()); }
    void Field(const std::u16string& v) { Counted(v.data(), v.size() * sizeof(char16_t)); }
    void Field(const std::vector<std::uint8_t>& v) { Counted(v.data(), v.size()); }
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

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

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
    std::vector<std::uint8_t> bytes_;
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
    void Field(std::string& v) {
        const std::uint32_t length = Length(1);
        v.assign(reinterpret_cast<const char*>(Here()), ok_ ? length : 0);
        Skip(length);
    }
    void Field(std::u16string& v) {
        const std::uint32_t length = Length(sizeof(char16_t));
        if (!ok_ || length % sizeof(char16_t) != 0) {
            ok_ = false;
            return;
        }
        v.resize(length / sizeof(char16_t));
        std::memcpy(v.data(), Here(), length);
        Skip(length);
    }
    void Field(std::vector<std::uint8_t>& v) {
        const std::uint32_t length = Length(1);
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
    std::uint32_t Length(std::size_t) {
        std::uint32_t length = 0;
        Field(length);
        if (length > Remaining()) {
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

template <typename Message>
std::vector<std::uint8_t> Encode(const Message& message) {
    Writer writer;
    const_cast<Message&>(message).Fields(writer);
    return writer.Bytes();
}

template <typename Message>
bool Decode(std::span<const std::uint8_t> body, Message& message) {
    Reader reader(body);
    message.Fields(reader);
    return reader.Complete();
}

}  // namespace hl::protocol
