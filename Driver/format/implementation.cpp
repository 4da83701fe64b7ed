#include "format/implementation.h"

#include <atomic>

#include "format/kernels.h"

namespace vdformat {
namespace {

bool ProcessorHas(Implementation implementation) {
#if defined(VDFORMAT_X86_KERNELS)
    switch (implementation) {
        case Implementation::Portable:
            return true;
        case Implementation::Avx2:
            return __builtin_cpu_supports("avx2") != 0;
        case Implementation::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                   __builtin_cpu_supports("gfni");
    }
#endif
    return implementation == Implementation::Portable;
}

Implementation BestSupported() {
    for (Implementation candidate : {Implementation::Avx512, Implementation::Avx2}) {
        if (ProcessorHas(candidate)) {
            return candidate;
        }
    }
    return Implementation::Portable;
}

Implementation InitialImplementation() {
    return BestSupported();
}

// Constant-initialised and settled on first use, so that no initialisation guard is needed.
constexpr int kUnsettled = -1;
std::atomic<int> gSelected{kUnsettled};

Implementation Selected() {
    int selected = gSelected.load(std::memory_order_relaxed);
    if (selected == kUnsettled) {
        const int initial = static_cast<int>(InitialImplementation());
        gSelected.compare_exchange_strong(selected, initial, std::memory_order_relaxed);
        selected = gSelected.load(std::memory_order_relaxed);
    }
    return static_cast<Implementation>(selected);
}

}  // namespace

bool ImplementationSupported(Implementation implementation) noexcept {
    return ProcessorHas(implementation);
}

Implementation ActiveImplementation() noexcept {
    return Selected();
}

bool SelectImplementation(Implementation implementation) noexcept {
    if (!ProcessorHas(implementation)) {
        return false;
    }
    gSelected.store(static_cast<int>(implementation), std::memory_order_relaxed);
    return true;
}

const char* ImplementationName(Implementation implementation) noexcept {
    switch (implementation) {
        case Implementation::Portable:
            return "portable";
        case Implementation::Avx2:
            return "avx2";
        case Implementation::Avx512:
            return "avx512";
    }
    return "portable";
}

bool ImplementationFromName(std::string_view name, Implementation& implementation) noexcept {
    for (Implementation candidate : kAllImplementations) {
        if (name == ImplementationName(candidate)) {
            implementation = candidate;
            return true;
        }
    }
    return false;
}

const char* CipherImplementationName() noexcept {
    return detail::ActiveCipherKernel().name;
}

const char* Sha1ImplementationName() noexcept {
    return detail::ActiveSha1Kernel().name;
}

namespace detail {

const BlockCipherKernel& CipherKernelFor(Implementation implementation) noexcept {
#if defined(VDFORMAT_X86_KERNELS)
    switch (implementation) {
        case Implementation::Portable:
            break;
        case Implementation::Avx2:
            return Avx2CipherKernel();
        case Implementation::Avx512:
            return Avx512CipherKernel();
    }
#endif
    (void)implementation;
    return PortableCipherKernel();
}

const Sha1ChainKernel& Sha1KernelFor(Implementation implementation) noexcept {
#if defined(VDFORMAT_X86_KERNELS)
    switch (implementation) {
        case Implementation::Portable:
            break;
        case Implementation::Avx2:
            return Avx2Sha1Kernel();
        case Implementation::Avx512:
            return Avx512Sha1Kernel();
    }
#endif
    (void)implementation;
    return PortableSha1Kernel();
}

}  // namespace detail
}  // namespace vdformat
