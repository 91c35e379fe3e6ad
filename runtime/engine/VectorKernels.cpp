#include "VectorKernels.h"

#include <atomic>

namespace Vy::Engine {
namespace {

std::atomic<bool> allowed{true};

bool CpuHasAvx2() {
#if VY_ENGINE_X86_KERNELS
    // Asked at first use, not at load time: sanitizer runtimes must be up first.
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
#else
    return false;
#endif
}

}  // namespace

bool UseAvx2Kernels() { return allowed.load(std::memory_order_relaxed) && CpuHasAvx2(); }

void AllowVectorKernels(bool allow) { allowed.store(allow, std::memory_order_relaxed); }

}  // namespace Vy::Engine
