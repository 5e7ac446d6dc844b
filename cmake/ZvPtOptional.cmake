# zv_pt_optional_part(VAR PART [FOUND WHAT PACKAGE]...): sets VAR to ON when
# every FOUND variable of the part is true.  Otherwise VAR is OFF and one
# configure line says what is missing and which Debian packages bring it.
# The dependencies themselves are looked up QUIET beforehand; a dependency can
# be made unavailable on purpose with CMAKE_DISABLE_FIND_PACKAGE_<Name>.
function(zv_pt_optional_part var part)
  set(missing)
  set(packages)
  while(ARGN)
    list(POP_FRONT ARGN found what package)
    if(NOT ${found})
      list(APPEND missing "${what}")
      list(APPEND packages "${package}")
    endif()
  endwhile()
  if(missing)
    list(JOIN missing ", " missing)
    list(REMOVE_DUPLICATES packages)
    list(JOIN packages " " packages)
    message(STATUS "zv_pt: ${part} skipped: no ${missing} (Debian: apt-get install ${packages})")
    set(${var} OFF PARENT_SCOPE)
  else()
    set(${var} ON PARENT_SCOPE)
  endif()
endfunction()
