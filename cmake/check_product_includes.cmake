# Reads the direct includes of product sources and fails on any header that is neither a Windows
# header of platform/include, a standard C++ (or C) library header, nor a product header.
# Run as: cmake -DARGUMENTS=<file> [-DSTAMP=<file> -DDEPFILE=<file>] -P check_product_includes.cmake
# The arguments file holds sections "[sources]", "[roots]" (product folders), "[dirs]" (folders
# searched for quoted includes), "[windows]" (the Windows headers) and "[allowed]" (exceptions).

cmake_minimum_required(VERSION 3.25)

set(standard_headers
  # C++
  algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
  condition_variable coroutine deque exception execution expected filesystem format forward_list
  fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch
  limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue
  random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span
  sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread
  tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
  version
  # C, in both spellings, without the wide character functions: the host's take 32-bit
  # characters, the product's wide strings have 16
  cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg
  cstddef cstdint cstdio cstdlib cstring ctime
  assert.h ctype.h errno.h fenv.h float.h inttypes.h limits.h locale.h math.h setjmp.h signal.h
  stdarg.h stddef.h stdint.h stdio.h stdlib.h string.h time.h
  # the compiler's vector intrinsics, which Windows compilers name alike
  immintrin.h)

file(STRINGS ${ARGUMENTS} argument_lines)
set(section "")
foreach(line IN LISTS argument_lines)
  if(line MATCHES "^\\[(.+)\\]$")
    set(section ${CMAKE_MATCH_1})
  elseif(NOT line STREQUAL "")
    list(APPEND arg_${section} ${line})
  endif()
endforeach()

set(queue ${arg_sources})
set(seen)
set(faults)
while(queue)
  list(POP_FRONT queue file)
  if(file IN_LIST seen)
    continue()
  endif()
  list(APPEND seen ${file})
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
  get_filename_component(file_dir ${file} DIRECTORY)
  foreach(include IN LISTS includes)
    if(NOT include MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"]")
      list(APPEND faults "${file}: an include this check cannot read: ${include}")
      continue()
    endif()
    set(kind ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(name IN_LIST arg_allowed)
      continue()
    endif()
    if(kind STREQUAL "<")
      if(name IN_LIST standard_headers)
        continue()
      endif()
      set(found FALSE)
      foreach(dir IN LISTS arg_windows)
        if(EXISTS ${dir}/${name})
          set(found TRUE)
        endif()
      endforeach()
      if(NOT found)
        list(APPEND faults "${file}: <${name}> is neither a Windows header nor a standard one")
      endif()
      continue()
    endif()
    # A quoted include must name a product header, found beside the file or in a product folder.
    set(resolved "")
    foreach(dir ${file_dir} ${arg_dirs})
      if(resolved STREQUAL "" AND EXISTS ${dir}/${name})
        file(REAL_PATH ${dir}/${name} resolved)
      endif()
    endforeach()
    set(in_product FALSE)
    if(NOT resolved STREQUAL "")
      foreach(root IN LISTS arg_roots)
        file(REAL_PATH ${root} real_root)
        cmake_path(IS_PREFIX real_root ${resolved} NORMALIZE is_inside)
        if(is_inside)
          set(in_product TRUE)
        endif()
      endforeach()
    endif()
    if(in_product)
      list(APPEND queue ${resolved})
    else()
      list(APPEND faults "${file}: \"${name}\" is not a product header")
    endif()
  endforeach()
endwhile()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Product code may include only Windows headers, standard headers and "
                      "product headers:\n  ${text}")
endif()

if(DEFINED STAMP)
  set(depends "")
  foreach(file IN LISTS seen)
    string(REPLACE " " "\\ " file "${file}")
    string(APPEND depends " ${file}")
  endforeach()
  file(WRITE ${DEPFILE} "${STAMP}:${depends}\n")
  file(TOUCH ${STAMP})
endif()
