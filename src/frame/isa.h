// Instruction-set levels the kernels are written for, and the one place that
// decides which of them the running processor gets.
#pragma once

namespace zv_pt {

// Every kernel family has one variant per level; C is the scalar reference.
// SSSE3 and AVX2 exist on x86-64 (AVX2 here means AVX2 with FMA3), NEON on
// AArch64.  A build with ZV_PT_SCALAR has only C.
enum class Isa { c, ssse3, avx2, neon };

// True when this build carries the level's code and the processor runs it.
bool isa_supported(Isa isa);

// The fastest supported level; the kernels' entry points use its variants.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace zv_pt
