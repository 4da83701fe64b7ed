// Pool memory with allocation tracking and fault injection.
#include <cstdlib>
#include <cstring>

#include "system.h"

namespace hl::kernel {

namespace {

constexpr SIZE_T kSmallAlignment = 16;

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<char>((tag >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return text;
}

}  // namespace

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    if (faults_.ShouldFail()) {
        return nullptr;
    }
    // As on NT: blocks of a page or more are page-aligned.
    const SIZE_T alignment = bytes >= PAGE_SIZE ? PAGE_SIZE : kSmallAlignment;
    const SIZE_T rounded = (std::max<SIZE_T>(bytes, 1) + alignment - 1) / alignment * alignment;
    void* block = std::aligned_alloc(alignment, rounded);
    if (!block) {
        return nullptr;
    }
    std::lock_guard guard(lock_);
    blocks_[block] = Block{bytes, tag, type};
    return block;
}

void Pool::Free(PVOID block, std::optional<ULONG> tag) {
    if (!block) {
        BugCheck("BAD_POOL_CALLER: freeing a null pointer");
        return;
    }
    {
        std::lock_guard guard(lock_);
        auto found = blocks_.find(block);
        if (found == blocks_.end()) {
            BugCheck("BAD_POOL_CALLER: freeing memory that is not an allocated pool block");
            return;
        }
        if (tag && *tag != found->second.tag) {
            BugCheck("BAD_POOL_CALLER: pool block tagged '" + TagText(found->second.tag) +
                     "' freed with tag '" + TagText(*tag) + "'");
        }
        blocks_.erase(found);
    }
    std::free(block);
}

std::size_t Pool::Outstanding() {
    std::lock_guard guard(lock_);
    return blocks_.size();
}

void Pool::ReleaseAll() {
    std::unordered_map<void*, Block> blocks;
    {
        std::lock_guard guard(lock_);
        blocks.swap(blocks_);
    }
    for (auto& [block, info] : blocks) {
        BugCheck("pool block of " + std::to_string(info.bytes) + " bytes tagged '" +
                 TagText(info.tag) + "' was never freed");
        std::free(block);
    }
}

}  // namespace hl::kernel

using namespace hl::kernel;

extern "C" {

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Sys().pool.Allocate(PoolType, NumberOfBytes, 0x656e6f4e);  // 'None'
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Sys().pool.Allocate(PoolType, NumberOfBytes, Tag);
}

VOID ExFreePool(PVOID P) {
    Sys().pool.Free(P, std::nullopt);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Sys().pool.Free(P, Tag);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) {
        ++same;
    }
    return same;
}

PVOID RtlSecureZeroMemory(PVOID ptr, SIZE_T cnt) {
    explicit_bzero(ptr, cnt);
    return ptr;
}

}  // extern "C"
