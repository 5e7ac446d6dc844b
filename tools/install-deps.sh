#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Idempotent: asks apt only for what is missing.
set -euo pipefail

native=(cmake make g++ pkg-config googletest libbenchmark-dev libopencv-dev libyuv-dev
        libpython3.11-dev python3.11 python3-torch python3-torchvision python3-pil python3-numpy
        python3-matplotlib python3-opencv python3-skimage libjpeg62-turbo-dev libpng-dev
        pybind11-dev python3-pybind11 python3-pytest lintian dpkg-dev
        g++-aarch64-linux-gnu qemu-user)
cross=(libpython3.11-dev:arm64 libjpeg62-turbo-dev:arm64 libpng-dev:arm64)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

# A package counts as present when it is installed for the build machine's
# architecture (or for all); the cross ones carry their :arm64 suffix.
arch=$(dpkg --print-architecture)
present() {
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
    grep -qE "^install ok installed ($2|all)$"
}
missing=()
for pkg in "${native[@]}"; do present "$pkg" "$arch" || missing+=("$pkg"); done
for pkg in "${cross[@]}"; do present "$pkg" arm64 || missing+=("$pkg"); done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
