list(APPEND ZV_PT_SOURCES src/resample/resample_c.cc src/resample/interpolate.cc)
list(APPEND ZV_PT_SOURCES_X86 src/resample/resample_ssse3.cc src/resample/resample_avx2.cc src/resample/resample_f32_avx2.cc
                              src/resample/resample_avx512.cc src/resample/resample_f32_avx512.cc
                              src/resample/resample_avx512icl.cc)
list(APPEND ZV_PT_SOURCES_NEON src/resample/resample_neon.cc)
