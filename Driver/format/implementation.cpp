#include "format/implementation.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

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

// The switch that forces a level, for comparisons and for ruling a vector path out.
Implementation InitialImplementation() {
    const char* requested = std::getenv("HL_VDFORMAT_IMPL");
    if (requested != nullptr) {
        for (Implementation candidate : kAllImplementations) {
            if (std::strcmp(requested, ImplementationName(candidate)) == 0 &&
                ProcessorHas(candidate)) {
                return candidate;
            }
        }
    }
    return BestSupported();
}

std::atomic<Implementation>& Selected() {
    static std::atomic<Implementation> selected{InitialImplementation()};
    return selected;
}

}  // namespace

bool ImplementationSupported(Implementation implementation) noexcept {
    return ProcessorHas(implementation);
}

Implementation ActiveImplementation() noexcept {
    return Selected().load(std::memory_order_relaxed);
}

bool SelectImplementation(Implementation implementation) noexcept {
    if (!ProcessorHas(implementation)) {
        return false;
    }
    Selected().store(implementation, std::memory_order_relaxed);
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
