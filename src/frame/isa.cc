#include "frame/isa.h"

#include <initializer_list>

namespace zv_pt {

bool isa_supported(Isa isa) {
    switch (isa) {
        case Isa::c:
            return true;
#if defined(ZV_PT_SIMD_X86)
        case Isa::ssse3:
            __builtin_cpu_init();
            return __builtin_cpu_supports("ssse3");
        case Isa::avx2:
            // __builtin_cpu_supports also checks that the OS saves the YMM state.
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::avx512:
            return isa_supported(Isa::avx2) && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq");
        case Isa::avx512icl:
            return isa_supported(Isa::avx512) && __builtin_cpu_supports("avx512vnni") &&
                   __builtin_cpu_supports("avx512vbmi");
#endif
#if defined(ZV_PT_SIMD_NEON)
        case Isa::neon:
            return true;  // Advanced SIMD is mandatory on AArch64
#endif
        default:
            return false;
    }
}

Isa best_isa() {
    for (Isa isa : {Isa::avx512icl, Isa::avx512, Isa::avx2, Isa::ssse3, Isa::neon})
        if (isa_supported(isa)) return isa;
    return Isa::c;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::ssse3: return "ssse3";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::avx512icl: return "avx512icl";
        case Isa::neon: return "neon";
        default: return "c";
    }
}

}  // namespace zv_pt
