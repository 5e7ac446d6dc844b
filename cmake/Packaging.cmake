# Debian packages of the install components (make deb):
#   libzv-pt1     runtime: the shared library
#   libzv-pt-dev  dev: headers, the .so link, the CMake and pkg-config files
#   zv-prep       tool: the zv-prep program
#   python3-zv-pt python: the zv_pt module for Debian's python3
# Versions come from the project's; dependencies on other packages from the
# binaries (dpkg-shlibdeps), between these packages from the version.
