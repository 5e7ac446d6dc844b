#!/usr/bin/env bash
# The library built with only its own dependencies: every optional package is
# made unavailable (CMAKE_DISABLE_FIND_PACKAGE_<Name> for each, and pkg-config
# searching an empty folder).  Checks that configuring names each skipped part
# on one line, that the build makes only the library, and that the install
# serves a host program through CMake and through pkg-config.
#
# Made unavailable this way rather than in a minimal debootstrap root: the
# same check in seconds, with no 700 MB root to download per run.  Every
# optional lookup of the build goes through find_package (cmake/Find*.cmake
# for those without a CMake package) or pkg-config, so these switches reach
# all of them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-minimal}
optional=(GoogleTestSources benchmark libyuv JPEG PNG pybind11 PythonModules)
parts=("the tests" "zv-prep" "the Python module" "the benchmarks")
built_only_with_parts=(tools/zv-prep/zv-prep python/zv_pt.cpython-*.so bench/zv_pt_bench_image tests)

rm -rf "$build"
mkdir -p "$build/no-pkgconfig"
build=$(cd "$build" && pwd)
flags=()
for package in "${optional[@]}"; do flags+=("-DCMAKE_DISABLE_FIND_PACKAGE_$package=ON"); done
PKG_CONFIG_LIBDIR=$build/no-pkgconfig PKG_CONFIG_PATH='' \
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "${flags[@]}" >"$build/configure.log"
failed=0
for part in "${parts[@]}"; do
  count=$(grep -c -- "^-- zv_pt: $part skipped: " "$build/configure.log" || true)
  if [ "$count" != 1 ]; then
    echo "check-minimal: configuring printed $count lines for $part skipped, not one" >&2
    failed=1
  fi
done
grep -- "^-- zv_pt: " "$build/configure.log"
cmake --build "$build" -j"${JOBS:-2}"
for path in "${built_only_with_parts[@]}"; do
  # shellcheck disable=SC2086  # the glob is meant
  if compgen -G "$build/$path" >/dev/null; then
    echo "check-minimal: $path was built without its dependencies" >&2
    failed=1
  fi
done
cmake -DSOURCE="$root" -DBUILD="$build" -DWORK="$build/consumer" -DCXX="${CXX:-c++}" \
  -P "$root/tests/install_consumer.cmake"
[ $failed = 0 ]
echo "check-minimal: the library alone configures, builds, installs and links"
