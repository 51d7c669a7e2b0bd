# The Windows stubs, cross-compiled by external builds of this same tree
# into build/win32 (i686, shipped) and build/win64 (x86_64, for Wine tests).
include(ExternalProject)
find_program(MINGW32_CXX i686-w64-mingw32-g++)
find_program(MINGW64_CXX x86_64-w64-mingw32-g++)
foreach(arch win32 win64)
  if(arch STREQUAL "win32")
    set(compiler ${MINGW32_CXX})
    set(toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake)
  else()
    set(compiler ${MINGW64_CXX})
    set(toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake)
  endif()
  if(NOT compiler)
    message(WARNING "No mingw-w64 compiler for ${arch}: the ${arch} stub is not built")
    continue()
  endif()
  ExternalProject_Add(stub-${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=MinSizeRel
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${arch}/corvane-stub.exe)
  set(CORVANE_STUB_${arch} ${CMAKE_BINARY_DIR}/${arch}/corvane-stub.exe)
endforeach()

# corvane-sfx.exe, the tool for Windows, with the i686 stub built in: its
# own external build (another compiler variant, see
# cmake/mingw-x86_64-tool.cmake), the program put beside the x86_64 stub.
find_program(MINGW64_POSIX_CXX x86_64-w64-mingw32-g++-posix)
if(MINGW64_POSIX_CXX AND TARGET stub-win32)
  ExternalProject_Add(tool-win64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/win64-tool
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64-tool.cmake
               -DCMAKE_BUILD_TYPE=Release -DCORVANE_DEFAULT_STUB=${CORVANE_STUB_win32}
               -DCORVANE_TOOL_OUTPUT_DIR=${CMAKE_BINARY_DIR}/win64
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    DEPENDS stub-win32
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/win64/corvane-sfx.exe)
  set(CORVANE_SFX_win64 ${CMAKE_BINARY_DIR}/win64/corvane-sfx.exe)
else()
  message(WARNING "No x86_64-w64-mingw32-g++-posix or no i686 stub: corvane-sfx.exe is not built")
endif()
