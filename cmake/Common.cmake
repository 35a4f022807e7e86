# Warnings, sanitizers and the helpers every CMakeLists.txt uses.
# The project's own code builds without a warning: every warning is an error.
add_compile_options(-Wall -Wextra -Wshadow -Wno-unused-parameter -Wnon-virtual-dtor -Wformat=2 -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The lock rules of the annotated mutexes (hostlib/util/wz_mutex.h).
  add_compile_options(-Wthread-safety)
endif()
include_directories(${CMAKE_SOURCE_DIR})

if(WZ_SANITIZE)
  string(REPLACE "," ";" _wz_san_list "${WZ_SANITIZE}")
  set(_wz_san_flags "-fsanitize=${WZ_SANITIZE}" -fno-omit-frame-pointer)
  if("undefined" IN_LIST _wz_san_list)
    list(APPEND _wz_san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_wz_san_flags})
  add_link_options(-fsanitize=${WZ_SANITIZE})
endif()

# Plug-ins are linked with every symbol resolved, except under clang's
# sanitizers, whose runtime lives in the executable that loads them.
set(WZ_NO_UNDEFINED -Wl,--no-undefined)
if(WZ_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(WZ_NO_UNDEFINED "")
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
find_package(spdlog REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system)

# A shared library of the host platform: default visibility, it is the API.
function(wz_host_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# A plug-in library loaded at run time: hidden visibility, only the entry
# symbols marked WZ_EXPORT are visible. OUTDIR: where it lands.
function(wz_plugin_library name)
  cmake_parse_arguments(A "" "OUTDIR;OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON PREFIX "")
  if(A_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${A_OUTPUT_NAME})
  endif()
  if(A_OUTDIR)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${A_OUTDIR})
  endif()
  target_link_options(${name} PRIVATE ${WZ_NO_UNDEFINED})
endfunction()
