# Fails unless the dynamic symbol table of LIBRARY defines exactly the ten
# functions of the public interface.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" symbol "${line}")
  list(APPEND found ${symbol})
endforeach()
list(SORT found)
set(expected
  _Z18zv_permute_hwc_chwPhS_PiS0_i
  _Z20zv_normalize_float32PfS_S_S_i
  _Z26zv_permute_hwc_chw_float32PfS_PiS0_i
  _ZN3zvt15zvt_interpolateIdEEiPPcPKlljb
  _ZN3zvt15zvt_interpolateIfEEiPPcPKlljb
  _ZN3zvt15zvt_interpolateIhEEiPPcPKlljb
  _ZN3zvt4initEv
  finalize_python
  initialize_python
  setT)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  found:    ${found}\n  expected: ${expected}")
endif()
