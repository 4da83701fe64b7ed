// Shared helpers of the format tests: hex, an independent Twofish, and an in-memory container.
#pragma once

#include <gcrypt.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "format/container_header.h"

namespace vdformat::testing {

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

inline std::uint32_t NextWord(std::mt19937& rng) {
    return static_cast<std::uint32_t>(rng());
}

inline std::vector<std::uint8_t> RandomBytes(std::mt19937& rng, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

// libgcrypt's Twofish-256 in ECB: the independent implementation the tests compare against.
class GcryptTwofish {
public:
    explicit GcryptTwofish(const std::uint8_t* key32) {
        gcry_check_version(nullptr);
        gcry_cipher_open(&handle_, GCRY_CIPHER_TWOFISH, GCRY_CIPHER_MODE_ECB, 0);
        gcry_cipher_setkey(handle_, key32, 32);
    }
    ~GcryptTwofish() { gcry_cipher_close(handle_); }
    GcryptTwofish(const GcryptTwofish&) = delete;
    GcryptTwofish& operator=(const GcryptTwofish&) = delete;

    void Encrypt(std::uint8_t* block) { gcry_cipher_encrypt(handle_, block, 16, nullptr, 0); }
    void Decrypt(std::uint8_t* block) { gcry_cipher_decrypt(handle_, block, 16, nullptr, 0); }

private:
    gcry_cipher_hd_t handle_ = nullptr;
};

inline std::array<std::uint8_t, kUserKeyBytes> MakeUserKey(std::string_view password) {
    std::array<std::uint8_t, kUserKeyBytes> key{};
    std::memcpy(key.data(), password.data(), std::min(password.size(), key.size()));
    return key;
}

// A container held in memory, with switches for the failures a host can produce.
class MemoryPort : public ContainerPort {
public:
    std::vector<std::uint8_t> file;
    std::uint32_t tick = 0;
    int failAllocationAt = -1;  // index of the allocation that fails, -1 for none
    int allocations = 0;
    std::int32_t writeStatus = 0;
    int writes = 0;

    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override {
        if (offset + length > file.size()) {
            return false;
        }
        std::memcpy(buffer, file.data() + offset, length);
        return true;
    }
    std::int32_t WriteAt(std::uint64_t offset, const void* buffer,
                         std::size_t length) noexcept override {
        ++writes;
        if (writeStatus != 0) {
            return writeStatus;
        }
        if (offset + length > file.size()) {
            file.resize(offset + length);
        }
        std::memcpy(file.data() + offset, buffer, length);
        return 0;
    }
    void* Allocate(std::size_t bytes) noexcept override {
        if (allocations++ == failAllocationAt) {
            return nullptr;
        }
        return ContainerPort::Allocate(bytes);
    }
    std::uint32_t TickCount() noexcept override { return tick; }
};

}  // namespace vdformat::testing
