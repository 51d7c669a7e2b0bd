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
