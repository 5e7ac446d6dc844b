# Installs the build tree into a fresh prefix, then builds and runs a host
# program against it twice: through find_package(zv_pt) and through pkg-config.
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE}/tests/consumer -B ${WORK}/cmake -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK}/cmake)
run(${WORK}/cmake/consumer)

file(GLOB_RECURSE pc_file ${prefix}/*/zv_pt.pc)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs zv_pt OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know zv_pt")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} ${SOURCE}/tests/consumer/main.cc ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK}/pkgconfig_consumer)
run(${WORK}/pkgconfig_consumer)
