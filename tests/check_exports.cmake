# Fails unless the library's dynamic symbol table (a DLL's export table) defines exactly the ten
# ondrelix_* functions (symbols the linker adds by itself, such as _init and _fini, aside).
if(LIBRARY MATCHES "\\.dll$")
  execute_process(COMMAND x86_64-w64-mingw32-objdump -p "${LIBRARY}" OUTPUT_VARIABLE dump
                  RESULT_VARIABLE rc)
  # The names of the "[Ordinal/Name Pointer] Table": lines "\t[   0] name".
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [A-Za-z_0-9]+" rows "${dump}")
  set(table "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE ".*\\] " "0 T " row "${row}")
    string(APPEND table "${row}\n")
  endforeach()
else()
  execute_process(COMMAND nm -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE table
                  RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${LIBRARY}")
endif()
set(expected ondrelix_cleanup ondrelix_convert_file ondrelix_init ondrelix_last_error
    ondrelix_load_voice ondrelix_rt_read ondrelix_rt_start ondrelix_rt_stop ondrelix_rt_write
    ondrelix_version)
set(found "")
string(REPLACE "\n" ";" lines "${table}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
      list(APPEND found "${name}")
    endif()
  endif()
endforeach()
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n expected: ${expected}\n found: ${found}")
endif()
message(STATUS "exports: ${found}")
