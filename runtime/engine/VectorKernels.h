// Which kernels the engine runs: the AVX2 + FMA ones where the CPU has them,
// the plain ones everywhere else (other x86 CPUs and other architectures).
// Both give the same images up to float rounding; tests switch the vector
// kernels off to check exactly that.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define VY_ENGINE_X86_KERNELS 1
#else
#define VY_ENGINE_X86_KERNELS 0
#endif

namespace Vy::Engine {

// True when the CPU has AVX2 and FMA and the vector kernels are allowed.
bool UseAvx2Kernels();
// Allows or forbids the vector kernels for every later engine step (default: allowed).
void AllowVectorKernels(bool allowed);

}  // namespace Vy::Engine
