# The driver imports kernel names and the freestanding C/C++ runtime, nothing else.
# Run as: cmake -DIMAGE=lockvol.sys -DNM=nm -P check_imports.cmake
cmake_minimum_required(VERSION 3.25)

set(allowed
  # the NT kernel and its run-time library
  "^(Ex|Io|Iof|Ke|Kf|Mm|Ob|Obf|Ps|Rtl|Se|Zw)[A-Z][A-Za-z]+$"
  # the freestanding C runtime the compiler itself may call
  "^(memcmp|memcpy|memmove|memset|strlen)$"
  # the C++ runtime's type information and pure virtual calls (allocation is the driver's own)
  "^_ZTVN10__cxxabiv1"
  "^__cxa_(pure_virtual|finalize)"
  # the toolchain's own hooks and the sanitizers of the debug build
  "^(_ITM_|__gmon_start__|__asan_|__ubsan_)")

execute_process(COMMAND ${NM} -D --undefined-only --format=just-symbols ${IMAGE}
                OUTPUT_VARIABLE output RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${IMAGE}")
endif()
string(REPLACE "\n" ";" symbols "${output}")
set(foreign)
set(count 0)
foreach(symbol IN LISTS symbols)
  string(REGEX REPLACE "@.*" "" symbol "${symbol}")
  if(symbol STREQUAL "")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  set(known FALSE)
  foreach(pattern IN LISTS allowed)
    if(symbol MATCHES "${pattern}")
      set(known TRUE)
      break()
    endif()
  endforeach()
  if(NOT known)
    list(APPEND foreign ${symbol})
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${IMAGE} imports nothing: not a driver image")
endif()
if(foreign)
  list(JOIN foreign " " text)
  message(FATAL_ERROR "${IMAGE} imports names outside the kernel: ${text}")
endif()
message(STATUS "${IMAGE}: ${count} imports, all kernel or runtime names")
