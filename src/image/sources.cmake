list(APPEND ZV_PT_SOURCES src/image/image_kernels_c.cc src/image/permute.cc src/image/normalize.cc)
list(APPEND ZV_PT_SOURCES_X86 src/image/image_kernels_ssse3.cc src/image/image_kernels_avx2.cc
                              src/image/image_kernels_avx512.cc)
list(APPEND ZV_PT_SOURCES_NEON src/image/image_kernels_neon.cc)
