# Cross build of corvane-sfx.exe, the host tool for Windows (x86_64). The
# packer's threads are std::thread, which the mingw-w64 compiler has only in
# its variant with POSIX threads (linked statically, like its C++ library).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
unset(CORVANE_STUB_ARCH)
set(CORVANE_WINDOWS_TOOL ON)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
