# libyuv (Debian's libyuv-dev), a peer of the benchmarks.
# Sets libyuv_FOUND, LIBYUV_INCLUDE_DIR and LIBYUV_LIBRARY.
find_path(LIBYUV_INCLUDE_DIR libyuv.h)
find_library(LIBYUV_LIBRARY yuv)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(libyuv REQUIRED_VARS LIBYUV_LIBRARY LIBYUV_INCLUDE_DIR)
