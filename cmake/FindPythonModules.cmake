# Whether Debian's Python has the given modules, without importing them:
#   find_package(PythonModules COMPONENTS torch torchvision PIL)
# PythonModules_PYTHON is the interpreter (/usr/bin/python3 by default: the
# python3 first on PATH may be another build without Debian's packages).
# Sets PythonModules_FOUND and PythonModules_<module>_FOUND.
set(PythonModules_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with Debian's packages (numpy, torch, PIL)")
set(missing ${PythonModules_FIND_COMPONENTS})
if(EXISTS ${PythonModules_PYTHON})
  execute_process(
    COMMAND ${PythonModules_PYTHON} -c
      "import importlib.util, sys; print(';'.join(m for m in sys.argv[1:] if importlib.util.find_spec(m) is None))"
      ${PythonModules_FIND_COMPONENTS}
    OUTPUT_VARIABLE missing OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(missing ${PythonModules_FIND_COMPONENTS})
  endif()
endif()
foreach(module IN LISTS PythonModules_FIND_COMPONENTS)
  if(module IN_LIST missing)
    set(PythonModules_${module}_FOUND FALSE)
  else()
    set(PythonModules_${module}_FOUND TRUE)
  endif()
endforeach()
unset(missing)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(PythonModules REQUIRED_VARS PythonModules_PYTHON HANDLE_COMPONENTS)
