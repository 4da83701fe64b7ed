// Internal: the multi-block Twofish and multi-chain SHA-1 kernels behind each implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/implementation.h"
#include "format/key_schedule.h"
#include "format/sha1_rounds.h"

namespace vdformat::detail {

// What a kernel derives from a key schedule once per call of the unit cipher: the bare S-boxes,
// read back out of the g-tables, when those tables are exactly a Twofish key's.
struct alignas(64) CipherContext {
    std::uint8_t sbox[4][256];
    const KeySchedule* schedule = nullptr;
    bool sboxesMatchTables = false;
};

// Wipes the key-derived bytes of a context when it goes out of scope.
class ContextWipe {
public:
    explicit ContextWipe(CipherContext& context) noexcept : context_(context) {}
    ContextWipe(const ContextWipe&) = delete;
    ContextWipe& operator=(const ContextWipe&) = delete;
    ~ContextWipe() {
        volatile std::uint64_t* words = reinterpret_cast<volatile std::uint64_t*>(context_.sbox);
        for (std::size_t i = 0; i < sizeof(context_.sbox) / 8; ++i) {
            words[i] = 0;
        }
    }

private:
    CipherContext& context_;
};

struct BlockCipherKernel {
    const char* name;
    // The batch the kernel runs at full speed: each unit-cipher pass starts with one such batch.
    std::size_t fullBatch;
    void (*prepare)(const KeySchedule& schedule, CipherContext& context) noexcept;
    // `count` consecutive 16-byte blocks in place, each on its own (no chaining).
    void (*encrypt)(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept;
    void (*decrypt)(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept;
};

// `count` chains of five little-endian words, stored one after another (20 bytes each); each
// chain is replaced by SHA1Rounds applied `steps` times under one message schedule.
struct Sha1ChainKernel {
    const char* name;
    void (*run)(std::uint8_t* chains, std::size_t count, const Sha1Schedule& schedule,
                unsigned steps) noexcept;
};

const BlockCipherKernel& PortableCipherKernel() noexcept;
const BlockCipherKernel& Avx2CipherKernel() noexcept;
const BlockCipherKernel& Avx512CipherKernel() noexcept;
const Sha1ChainKernel& PortableSha1Kernel() noexcept;
const Sha1ChainKernel& Avx2Sha1Kernel() noexcept;
const Sha1ChainKernel& Avx512Sha1Kernel() noexcept;

const BlockCipherKernel& CipherKernelFor(Implementation implementation) noexcept;
const Sha1ChainKernel& Sha1KernelFor(Implementation implementation) noexcept;

inline const BlockCipherKernel& ActiveCipherKernel() noexcept {
    return CipherKernelFor(ActiveImplementation());
}
inline const Sha1ChainKernel& ActiveSha1Kernel() noexcept {
    return Sha1KernelFor(ActiveImplementation());
}

}  // namespace vdformat::detail
