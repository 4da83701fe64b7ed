# The product/platform boundary as a build rule. Product code sees the Windows headers of
# platform/include, the C++ standard library and the product's own headers, nothing else: each
# product target gets a check step that reads the direct includes of its sources (and of the
# product headers they include) and fails the build on anything outside those three.

set(HL_PRODUCT_FOLDERS Driver controller reader common shellext setup scripter tray)
set(HL_WINDOWS_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/platform/include)

# Product headers are named from the product's folders ("controller/kv_operations.h"), through a
# folder of links to those folders alone, so that the repository root (and with it platform/,
# tools/ and tests/) is on no product include path.
set(HL_PRODUCT_INCLUDE_DIR ${PROJECT_BINARY_DIR}/product-include)
file(MAKE_DIRECTORY ${HL_PRODUCT_INCLUDE_DIR})
set(HL_PRODUCT_ROOTS)
foreach(folder IN LISTS HL_PRODUCT_FOLDERS)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${folder} AND NOT EXISTS ${HL_PRODUCT_INCLUDE_DIR}/${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${HL_PRODUCT_INCLUDE_DIR}/${folder} SYMBOLIC)
  endif()
  list(APPEND HL_PRODUCT_ROOTS ${PROJECT_SOURCE_DIR}/${folder})
endforeach()

set(HL_BOUNDARY_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/check_product_includes.cmake)

# hl_product_target(target [INCLUDE_DIRS dir...] [PLATFORM_HEADERS header...])
# Puts the product include folder on the target's path and checks its sources' includes before
# it is compiled. INCLUDE_DIRS are further product folders searched for quoted includes (the
# target's own include directories); PLATFORM_HEADERS names platform headers outside
# platform/include that the target may still include, each an exception to retire.
function(hl_product_target target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "INCLUDE_DIRS;PLATFORM_HEADERS")
  target_include_directories(${target} PRIVATE ${HL_PRODUCT_INCLUDE_DIR} ${arg_INCLUDE_DIRS})
  # WCHAR is wchar_t of 16 bits, as on Windows, so that L"..." is a Windows wide string.
  target_compile_options(${target} PRIVATE -fshort-wchar)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(files)
  foreach(source IN LISTS sources)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE source)
    list(APPEND files ${source})
  endforeach()
  set(check_dir ${CMAKE_CURRENT_BINARY_DIR}/boundary)
  set(stamp ${check_dir}/${target}.stamp)
  set(arguments ${check_dir}/${target}.args)
  list(JOIN files "\n" files_text)
  list(JOIN HL_PRODUCT_ROOTS "\n" roots_text)
  list(JOIN arg_INCLUDE_DIRS "\n" dirs_text)
  list(JOIN arg_PLATFORM_HEADERS "\n" allowed_text)
  file(CONFIGURE OUTPUT ${arguments} CONTENT
"[sources]\n${files_text}\n[roots]\n${roots_text}\n[dirs]\n${HL_PRODUCT_INCLUDE_DIR}\n${dirs_text}\n[windows]\n${HL_WINDOWS_INCLUDE_DIR}\n[allowed]\n${allowed_text}\n")
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DARGUMENTS=${arguments} -DSTAMP=${stamp} -DDEPFILE=${stamp}.d
            -P ${HL_BOUNDARY_SCRIPT}
    DEPENDS ${HL_BOUNDARY_SCRIPT} ${arguments} ${files}
    DEPFILE ${stamp}.d
    COMMENT "Checking the Windows boundary of ${target}"
    VERBATIM)
  add_custom_target(${target}_boundary DEPENDS ${stamp})
  add_dependencies(${target} ${target}_boundary)
endfunction()
