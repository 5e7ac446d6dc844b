# Debian packages of the install components (make deb):
#   libzv-pt1      runtime: the shared library
#   libzv-pt-dev   dev: headers, the .so link, the CMake and pkg-config files
#   zv-prep        tool: the zv-prep program
#   python3-zv-pt  python: the zv_pt module for Debian's python3
# Versions are the project's; dependencies on other packages come from the
# binaries (dpkg-shlibdeps), those between these packages from the version.
# ZV_PT_DEBIAN_DOCS installs each package's copyright and changelog, which
# Debian requires in /usr/share/doc/PACKAGE (off for a plain install).
option(ZV_PT_DEBIAN_DOCS "Install the Debian packages' copyright and changelog files" OFF)

set(CPACK_PACKAGE_NAME libzv-pt)
# Each package's description gives its own synopsis line (with a summary set,
# CPack would put the project's in front of every one).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "the libzv_pt developers")
set(CPACK_PACKAGE_CONTACT "libzv_pt developers <zv-pt@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET zv-prep)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
if(TARGET zv_pt_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds libzv_pt.so.1 of the packages beside it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(same_version "libzv-pt1 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzv-pt1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "3-channel image preparation kernels for tensor pipelines
libzv_pt converts interleaved 8-bit and float images to planar ones,
normalises them per channel, resamples them with antialiasing and sets
PyTorch's thread count through an embedded interpreter, with SIMD code
chosen at run time.  This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzv-pt-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${same_version}")
set(CPACK_COMPONENT_DEV_DESCRIPTION "3-channel image preparation kernels (development files)
libzv_pt converts, normalises and resamples images for tensor pipelines.
This package holds the headers (with the header-only resize planner and
preparation), the link to the shared library, and the CMake and pkg-config
files to build against it.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zv-prep)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${same_version}")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "photographs to model-ready tensors
zv-prep decodes PNG, JPEG and PPM files, resizes them to a model's input
size, converts and normalises them with libzv_pt and writes float32 NumPy
files, equal to torchvision's standard preprocessing.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zv-pt)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(TARGET zv_pt_python)
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "${same_version}, python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor}), python3-numpy")
endif()
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "torchvision's preprocessing, fast (Python 3 module)
The zv_pt module resizes numpy arrays and Pillow images with antialiasing
and prepares them as torchvision's Resize, CenterCrop, ToTensor and
Normalize do, many times faster, with the interpreter lock released.")

if(ZV_PT_DEBIAN_DOCS)
  string(TIMESTAMP ZV_PT_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH when set
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc} COMPONENT ${component})
    install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc} RENAME changelog.gz
            COMPONENT ${component})
  endforeach()
endif()

include(CPack)
