# Project-wide warning and sanitizer settings, applied to every target of the tree.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(HL_WERROR)
  add_compile_options(-Werror)
endif()
if(HL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Hot code (the cipher and the key derivation) stays optimised in debug builds too, so that
# the tests, which derive hundreds of password keys, run in seconds.
function(hl_optimise_always target)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    target_compile_options(${target} PRIVATE -O2)
  endif()
endfunction()
