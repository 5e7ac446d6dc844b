// Instruction-set levels the kernels are written for, and the one place that
// decides which of them the running processor gets.
#pragma once

namespace zv_pt {

// Every kernel family has one variant per level; C is the scalar reference.
// SSSE3, AVX2 (with FMA3), AVX-512 (F, BW, VL and DQ on top of AVX2) and
// AVX-512 with VNNI and VBMI (as Ice Lake and Zen 4 have it: "icl") exist on
// x86-64, NEON on AArch64; a level's table holds
// the variant of the level below where its own instructions do not pay.  A
// build with ZV_PT_SCALAR has only C.
enum class Isa { c, ssse3, avx2, avx512, avx512icl, neon };

// Every level, for tests and benchmarks that go through all variants.
constexpr Isa kAllIsas[] = {Isa::c, Isa::ssse3, Isa::avx2, Isa::avx512, Isa::avx512icl, Isa::neon};

// True when this build carries the level's code and the processor runs it.
bool isa_supported(Isa isa);

// The fastest supported level; the kernels' entry points use its variants.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace zv_pt
