# SPDX-License-Identifier: MIT
# quillbar.dll: the same sources with the Win32 port, GDI and message boxes.
# Cross-built with mingw-w64 (cmake/mingw-i686.cmake, cmake/mingw-x86_64.cmake)
# and tested under Wine (tests/windows/).
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)

add_library(quillbar_objects OBJECT ${QUILLBAR_SOURCES}
  src/connection/device_win32.cpp
  src/connection/device_win32_queue.cpp
  src/label/glyph_renderer_gdi.cpp
  src/graphics/host_win32.cpp
)
target_include_directories(quillbar_objects PUBLIC ${QUILLBAR_INCLUDE_DIR} src)
target_compile_definitions(quillbar_objects PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)

# The export table, from the one list of exports (src/operations.def): every
# export under its plain name, but QB_SetPrinterComDots only as
# _QB_SetPrinterComDots@4. On 32-bit Windows the internal names of __stdcall
# functions carry @ and their argument bytes: every argument is 4 bytes there.
# quillbar.def makes the DLL's export table; callers.def makes the import
# library C and C++ callers link, whose symbols are the names the compiler
# gives the __stdcall declarations, each importing the export of the DLL.
set(QUILLBAR_DEF "LIBRARY quillbar.dll\nEXPORTS\n")
set(QUILLBAR_CALLERS_DEF "LIBRARY quillbar.dll\nEXPORTS\n")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUILLBAR_DECORATE ON)
endif()
foreach(entry ${QUILLBAR_EXPORTS})
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 name)
  list(GET parts 1 count)
  math(EXPR bytes "${count} * 4")
  set(internal ${name})
  if(QUILLBAR_DECORATE)
    set(internal ${name}@${bytes})
  endif()
  set(exported ${name})
  if(name STREQUAL "QB_SetPrinterComDots")
    set(exported _QB_SetPrinterComDots@4)
  endif()
  string(APPEND QUILLBAR_DEF "    ${exported} = ${internal}\n")
  string(APPEND QUILLBAR_CALLERS_DEF "    ${internal} == ${exported}\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/quillbar.def "${QUILLBAR_DEF}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/callers.def "${QUILLBAR_CALLERS_DEF}")

add_library(quillbar SHARED $<TARGET_OBJECTS:quillbar_objects> ${CMAKE_CURRENT_BINARY_DIR}/quillbar.def)
set_target_properties(quillbar PROPERTIES PREFIX "" OUTPUT_NAME quillbar)
target_include_directories(quillbar PUBLIC ${QUILLBAR_INCLUDE_DIR})
# No runtime DLLs of the toolchain: the C++ runtime and winpthread go inside.
target_link_options(quillbar PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(quillbar PRIVATE gdi32 user32 winspool)

# The import library for callers, and a target that links through it.
find_program(QUILLBAR_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/libquillbar.dll.a
  COMMAND ${QUILLBAR_DLLTOOL} -d ${CMAKE_CURRENT_BINARY_DIR}/callers.def -D quillbar.dll
          -l ${CMAKE_CURRENT_BINARY_DIR}/libquillbar.dll.a
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/callers.def quillbar)
add_custom_target(quillbar_import_library DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/libquillbar.dll.a)
set_target_properties(quillbar PROPERTIES IMPORT_PREFIX "" IMPORT_SUFFIX ".internal.a")
add_library(quillbar_dll INTERFACE)
add_dependencies(quillbar_dll quillbar_import_library)
target_include_directories(quillbar_dll INTERFACE ${QUILLBAR_INCLUDE_DIR})
target_link_libraries(quillbar_dll INTERFACE ${CMAKE_CURRENT_BINARY_DIR}/libquillbar.dll.a)

add_library(quillbar_static STATIC $<TARGET_OBJECTS:quillbar_objects>)
target_link_libraries(quillbar_static PUBLIC quillbar_objects gdi32 user32 winspool)

if(QUILLBAR_TESTS)
  add_subdirectory(tests/windows)
endif()
