# GoogleTest's source tree (Debian's googletest package), built by the project
# itself so that the cross and sanitizer builds get a matching copy.
# Sets GoogleTestSources_FOUND and GoogleTestSources_DIR.
set(GoogleTestSources_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
include(FindPackageHandleStandardArgs)
if(EXISTS ${GoogleTestSources_DIR}/CMakeLists.txt)
  set(GoogleTestSources_TREE ${GoogleTestSources_DIR})
endif()
find_package_handle_standard_args(GoogleTestSources REQUIRED_VARS GoogleTestSources_TREE)
