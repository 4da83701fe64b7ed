#include "format/unit_cipher.h"

#include <algorithm>

#include "format/kernels.h"

namespace vdformat {
namespace {

using detail::BlockCipherKernel;
using detail::CipherContext;

constexpr std::size_t kBlockWords = 4;
constexpr std::size_t kBlockBytes = 16;

// Units are byte buffers of the caller's; their words are reached through an alias-safe type.
#if defined(__GNUC__)
using UnitWord = std::uint32_t __attribute__((__may_alias__));
#else
using UnitWord = std::uint32_t;
#endif

// Word (167 i) mod n, stepped without a division per word.
inline void Whiten(UnitWord* words, std::size_t wordCount, const KeySchedule& schedule) {
    const std::size_t step = 167 % wordCount;
    std::size_t index = 0;
    for (std::size_t i = 0; i < kWhiteningWords; ++i) {
        words[index] ^= schedule.whitening[i];
        index += step;
        if (index >= wordCount) {
            index -= wordCount;
        }
    }
}

inline void XorBlock(UnitWord* target, const UnitWord* source) {
    for (std::size_t i = 0; i < kBlockWords; ++i) {
        target[i] ^= source[i];
    }
}

// Word view of a unit: the largest even number of whole words.
struct UnitWords {
    std::uint8_t* bytes;
    UnitWord* words;
    std::size_t wordCount;
    std::size_t blockCount;

    UnitWord* Block(std::size_t index) const { return words + kBlockWords * index; }
};

inline UnitWords ViewUnit(std::span<std::uint8_t> unit) {
    const std::size_t wordCount = (unit.size() / 4) & ~std::size_t{1};
    return {unit.data(), reinterpret_cast<UnitWord*>(unit.data()), wordCount,
            wordCount / kBlockWords};
}

// One pass of the backward walk. Written step by step it encrypts block N-1, folds it into
// block 0, then encrypts N-2 and folds it into N-1, and so on down to block 0. Every block but 0
// is encrypted with the value it had when the pass began, so those are one batch; block 0 needs
// the last block's result first. Afterwards each block k >= 1 holds E(k) xor E(k-1).
void EncipherPass(const BlockCipherKernel& kernel, const CipherContext& context,
                  const UnitWords& u) {
    const std::size_t n = u.blockCount;
    // The last blocks go first, one full batch of them, so that block 0 (which waits for the last
    // block's result) can join the long batch instead of running alone.
    const std::size_t lead = std::min(kernel.fullBatch, n - 1);
    kernel.encrypt(context, u.bytes + kBlockBytes * (n - lead), lead);
    XorBlock(u.Block(0), u.Block(n - 1));
    kernel.encrypt(context, u.bytes, n - lead);
    for (std::size_t k = n - 1; k >= 1; --k) {
        XorBlock(u.Block(k), u.Block(k - 1));
    }
}

// One pass of the forward walk: block k is decrypted after its running xor with every block
// before it, so the decryptions are independent once the prefix xors are done; block 0 is then
// folded with the last block's input.
void DecipherPass(const BlockCipherKernel& kernel, const CipherContext& context,
                  const UnitWords& u) {
    const std::size_t n = u.blockCount;
    // The running xor stays in registers rather than being read back from the block just stored.
    std::uint32_t running[kBlockWords];
    std::copy_n(u.Block(0), kBlockWords, running);
    for (std::size_t k = 1; k < n; ++k) {
        UnitWord* block = u.Block(k);
        for (std::size_t i = 0; i < kBlockWords; ++i) {
            running[i] ^= block[i];
            block[i] = running[i];
        }
    }
    kernel.decrypt(context, u.bytes, n);
    XorBlock(u.Block(0), running);
}

void Encipher(const BlockCipherKernel& kernel, const CipherContext& context,
              std::span<std::uint8_t> unit) {
    const UnitWords u = ViewUnit(unit);
    Whiten(u.words, u.wordCount, *context.schedule);
    for (int pass = 0; pass < 3; ++pass) {
        EncipherPass(kernel, context, u);
    }
    Whiten(u.words, u.wordCount, *context.schedule);
}

void Decipher(const BlockCipherKernel& kernel, const CipherContext& context,
              std::span<std::uint8_t> unit) {
    const UnitWords u = ViewUnit(unit);
    Whiten(u.words, u.wordCount, *context.schedule);
    for (int pass = 0; pass < 3; ++pass) {
        DecipherPass(kernel, context, u);
    }
    Whiten(u.words, u.wordCount, *context.schedule);
}

// Runs `apply` on each unit with a context prepared once for the whole call.
template <typename Apply>
void WithContext(const KeySchedule& schedule, Apply apply) {
    const BlockCipherKernel& kernel = detail::ActiveCipherKernel();
    CipherContext context;
    detail::ContextWipe wipe(context);
    kernel.prepare(schedule, context);
    apply(kernel, context);
}

}  // namespace

void EncipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept {
    WithContext(schedule, [unit](const BlockCipherKernel& kernel, const CipherContext& context) {
        Encipher(kernel, context, unit);
    });
}

void DecipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept {
    WithContext(schedule, [unit](const BlockCipherKernel& kernel, const CipherContext& context) {
        Decipher(kernel, context, unit);
    });
}

void EncipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept {
    WithContext(schedule, [sectors](const BlockCipherKernel& kernel, const CipherContext& context) {
        for (std::size_t offset = 0; offset + kSectorBytes <= sectors.size();
             offset += kSectorBytes) {
            Encipher(kernel, context, sectors.subspan(offset, kSectorBytes));
        }
    });
}

void DecipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept {
    WithContext(schedule, [sectors](const BlockCipherKernel& kernel, const CipherContext& context) {
        for (std::size_t offset = 0; offset + kSectorBytes <= sectors.size();
             offset += kSectorBytes) {
            Decipher(kernel, context, sectors.subspan(offset, kSectorBytes));
        }
    });
}

}  // namespace vdformat
