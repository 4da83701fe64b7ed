# Project-wide warning and sanitizer settings, applied to every target of the tree.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(HL_WERROR)
  add_compile_options(-Werror)
endif()
if(HL_SANITIZE)
  # No vptr check: drivers and components are modules opened with dlopen that keep their
  # symbols (type information included) to themselves, so the check would see two types.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Hot code (the cipher and the key derivation) stays optimised in debug builds too, so that
# the tests, which derive hundreds of password keys, run in seconds.
function(hl_optimise_always target)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    target_compile_options(${target} PRIVATE -O2)
  endif()
endfunction()
