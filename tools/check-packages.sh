#!/usr/bin/env bash
# Checks the Debian packages of BUILD_DIR (make deb): lintian reports no
# error; installed with dpkg -i, they serve a host program built with
# pkg-config and one built with CMake from the installed files alone,
# zv-prep runs, and Debian's python3 imports zv_pt from dist-packages.  The
# packages are removed again afterwards, also when a step fails.  Packages of
# these names that were installed before are left alone (nothing is checked).
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
packages=(libzv-pt1 libzv-pt-dev zv-prep python3-zv-pt)
debs=()
for package in "${packages[@]}"; do debs+=("$build/${package}_${version}_${arch}.deb"); done

lintian --fail-on error "${debs[@]}"
echo "lintian: no errors in ${packages[*]}"

for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    echo "check-packages: $package is installed already; not installing over it" >&2
    exit 0
  fi
done

# dpkg, waiting up to 10 minutes while another apt or dpkg holds its lock.
dpkg_waiting() {
  local output
  for _ in $(seq 120); do
    output=$(dpkg "$@" 2>&1) && return 0
    grep -q "lock" <<<"$output" || { echo "$output" >&2; return 1; }
    sleep 5
  done
  echo "$output" >&2
  return 1
}
work=$(mktemp -d)
cleanup() {
  dpkg_waiting --purge "${packages[@]}" || echo "check-packages: could not remove ${packages[*]}" >&2
  rm -rf "$work"
}
trap cleanup EXIT
dpkg_waiting -i "${debs[@]}"

cd "$work"  # nothing of the source or build tree on any search path
# shellcheck disable=SC2046  # pkg-config's words are meant to split
g++ -O2 "$root/tests/consumer/main.cc" $(pkg-config --cflags --libs zv_pt) -o host
ldd host | grep -qE "libzv_pt.so.1 => (/usr)?/lib/" || { echo "host does not load the installed library" >&2; exit 1; }
./host
cmake -S "$root/tests/consumer" -B cmake-host >/dev/null && cmake --build cmake-host >/dev/null && cmake-host/consumer
[ "$(zv-prep --version)" = "zv-prep $version" ] || { echo "zv-prep --version: $(zv-prep --version)" >&2; exit 1; }
/usr/bin/python3 - "$version" <<'PY'
import sys, numpy, zv_pt
assert zv_pt.__file__.startswith("/usr/lib/python3/dist-packages/"), zv_pt.__file__
assert zv_pt.__version__ == sys.argv[1], zv_pt.__version__
assert zv_pt.Prepare(size=(8, 8))(numpy.zeros((20, 30, 3), numpy.uint8)).shape == (3, 8, 8)
PY
echo "check-packages: ${packages[*]} $version install, serve a host program and Python, and are removed again"
