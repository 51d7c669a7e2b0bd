# The Windows stub: the extractor with its entry point, no C runtime.
# Included by the root CMakeLists.txt when a toolchain file from this folder
# has set CORVANE_STUB_ARCH (i686: the shipped stub; x86_64: for Wine).

enable_language(RC)

file(GLOB STUB_WIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/shell/*_win.cpp)
add_executable(corvane-stub WIN32
  ${EXTRACTOR_SOURCES} ${STUB_WIN_SOURCES} ${CMAKE_SOURCE_DIR}/res/corvane.rc)
target_include_directories(corvane-stub PRIVATE ${CMAKE_SOURCE_DIR})
set_target_properties(corvane-stub PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  OUTPUT_NAME corvane-stub
  SUFFIX .exe)

# Every byte counts (the sealed stub must stay within 16 KiB): no unwind
# tables, no exception or type information, no guard code. The 8-bit
# ANSI entry points only, so that Windows 95 finds every import.
target_compile_options(corvane-stub PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:
    -Os -Wall -Wextra -Wshadow -Werror -Wno-missing-field-initializers
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fno-threadsafe-statics -fno-stack-protector -fno-ident
    -fno-use-cxa-atexit -fno-stack-check>)
target_compile_definitions(corvane-stub PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:_WIN32_WINNT=0x0400 _WIN32_IE=0x0300>)
# windres reads the manifest and the icon relative to the script.
set_property(SOURCE ${CMAKE_SOURCE_DIR}/res/corvane.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/res/corvane.ico ${CMAKE_SOURCE_DIR}/res/corvane.manifest)
target_compile_options(corvane-stub PRIVATE
  $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_SOURCE_DIR}/res>)

# No frame pointer: the decoder exit (__builtin_setjmp) keeps its own.
target_compile_options(corvane-stub PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fomit-frame-pointer>)

# Smaller code, measured on the i686 stub:
#  - No stack probes. Windows grows a thread's stack through one guard page,
#    so a frame must not reach past it before touching it; the compiler
#    probes frames beyond 4,000 bytes, and that costs every call its
#    arguments moved into a reserved area instead of pushed (about 1,100
#    bytes). The stub's frames are far smaller (the largest about 1,300
#    bytes), and the frame check below, at the compiler's own threshold,
#    makes one that grows too big an error.
#  - Arrays aligned as the ABI asks, not to 32 bytes for wide loads.
#  - No loops turned into memset/memcpy/strlen calls: ours copy byte by
#    byte anyway, and the calls cost more than the loops.
set(stub_size_options -mno-stack-arg-probe -Wframe-larger-than=4000 -malign-data=abi
    -fno-tree-loop-distribute-patterns)
target_compile_options(corvane-stub PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${stub_size_options}>)
# Code is generated at link time (LTO): the link needs them too, and
# -Werror for the frame check.
target_link_options(corvane-stub PRIVATE ${stub_size_options} -Werror)
# Everything but the decoders, whose speed counts, is compiled for size
# alone; LTO keeps these options per function. Tail merging, oddly, makes
# this code larger (about 100 bytes).
set(stub_size_only_sources ${EXTRACTOR_SOURCES} ${STUB_WIN_SOURCES})
list(FILTER stub_size_only_sources EXCLUDE REGEX "/decode/")
set_property(SOURCE ${stub_size_only_sources} APPEND PROPERTY COMPILE_OPTIONS
  -Oz -fno-tree-tail-merge)

# The i686 entry symbol carries its stdcall decoration. The compiler's
# default target, the Pentium Pro, would use instructions (cmov) that the
# processors Windows 95 runs on lack; Windows itself asks for no more than
# 4-byte stack alignment.
if(CORVANE_STUB_ARCH STREQUAL "i686")
  set(stub_entry _StubEntry@0)
  target_compile_options(corvane-stub PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-march=i386 -mpreferred-stack-boundary=2>)
  target_link_options(corvane-stub PRIVATE -march=i386 -mpreferred-stack-boundary=2)
else()
  set(stub_entry StubEntry)
endif()

# The default Windows libraries CMake would add: only those named below.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Link-time optimisation lets -Os inline and drop across files. The
# functions the compiler itself calls (memcpy, memset, strlen) must stay
# out of it: they are referenced only after code generation, by then LTO
# would have thrown them away as unused.
set_target_properties(corvane-stub PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
set_source_files_properties(${CMAKE_SOURCE_DIR}/shell/support_win.cpp PROPERTIES
  COMPILE_OPTIONS -fno-lto)

# Subsystem and OS version 4.0: the stub must load on Windows 95. No
# relocations: a stub that reads nothing but its own file gains nothing from
# a moving image base, and the table would cost a kilobyte of the budget.
# Only DLLs of the system are linked; the common controls are loaded from
# the system directory at run time (see shell/entry_win.cpp).
target_link_options(corvane-stub PRIVATE
  -Os -nostdlib -s -Wl,--gc-sections -Wl,-e,${stub_entry}
  -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/stub.ld
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-image-version,0 -Wl,--minor-image-version,0
  -Wl,--disable-dynamicbase,--disable-reloc-section)
set_property(TARGET corvane-stub APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/stub.ld)

# The linker's MS-DOS program pushes the headers past 512 bytes; moving them
# up saves that much of the file (see cmake/compact-headers.py).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_custom_command(TARGET corvane-stub POST_BUILD
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/compact-headers.py
            $<TARGET_FILE:corvane-stub>
    VERBATIM)
else()
  message(WARNING "No python3: the stub keeps the linker's MS-DOS header (512 bytes more)")
endif()
target_link_libraries(corvane-stub PRIVATE kernel32 user32 shell32 gcc)
