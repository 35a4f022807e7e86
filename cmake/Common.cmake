# Warnings, sanitizers and the helpers every CMakeLists.txt uses.
# The project's own code builds without a warning: every warning is an error.
add_compile_options(-Wall -Wextra -Wshadow -Wno-unused-parameter -Wnon-virtual-dtor -Wformat=2 -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The lock rules of the annotated mutexes (hostlib/util/wz_mutex.h).
  add_compile_options(-Wthread-safety)
endif()

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

# Every include names its folder from the tree's root ("hostlib/net/frame.h").
# A target reaches the root through what it links, never through a global
# setting: to include a folder's headers, link that folder's target.
add_library(wz_source_root INTERFACE)
target_include_directories(wz_source_root INTERFACE ${CMAKE_SOURCE_DIR})

# One folder that is part of a larger library: its sources, listed by name,
# as an object library with what the folder itself needs (DEPS: their usage
# requirements; the library that takes the objects links them).
function(wz_folder name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} OBJECT ${A_SOURCES})
  target_link_libraries(${name} PUBLIC wz_source_root ${A_DEPS})
endfunction()

# A shared library of the host platform: default visibility, it is the API.
# SOURCES: its own sources; FOLDERS: object libraries (wz_folder) whose
# objects it takes; LIBS: what it and its users link. Linked with every
# symbol resolved, so a library that uses one it does not link fails here.
function(wz_host_library name)
  cmake_parse_arguments(A "" "" "SOURCES;FOLDERS;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES})
  target_link_libraries(${name} PUBLIC wz_source_root ${A_LIBS})
  # Linked directly, an object library gives its objects and its usage
  # requirements.
  target_link_libraries(${name} PRIVATE ${A_FOLDERS})
  target_link_options(${name} PRIVATE ${WZ_NO_UNDEFINED}
    "LINKER:--version-script=${CMAKE_SOURCE_DIR}/cmake/host_library.map")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/host_library.map)
endfunction()

# A plug-in library loaded at run time: hidden visibility, only the entry
# symbols marked WZ_EXPORT are visible. OUTDIR: where it lands.
function(wz_plugin_library name)
  cmake_parse_arguments(A "" "OUTDIR;OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${A_SOURCES})
  target_link_libraries(${name} PRIVATE wz_source_root ${A_LIBS})
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
