# corvane-sfx.exe: the host tool for Windows (x86_64, console, linked
# statically: no DLLs beyond the system's). The extractor runs over the real
# Win32 functions with the stub's own dialogs linked in; what differs from
# Linux lives in tools/windows/. Started by the host build as an external
# project (cmake/stubs-external.cmake), which hands in the i686 stub to build
# in (CORVANE_DEFAULT_STUB) and the folder for the program
# (CORVANE_TOOL_OUTPUT_DIR).

enable_language(RC)

file(GLOB TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
set(default_stub_cpp ${CMAKE_BINARY_DIR}/default_stub.cpp)
add_custom_command(OUTPUT ${default_stub_cpp}
  COMMAND ${CMAKE_COMMAND} -DSTUB=${CORVANE_DEFAULT_STUB} -DOUT=${default_stub_cpp}
          -P ${CMAKE_SOURCE_DIR}/tools/embed-stub.cmake
  DEPENDS ${CORVANE_DEFAULT_STUB} ${CMAKE_SOURCE_DIR}/tools/embed-stub.cmake
  VERBATIM)

add_executable(corvane-sfx ${TOOL_SOURCES} ${EXTRACTOR_SOURCES}
  ${CMAKE_SOURCE_DIR}/tools/windows/system.cpp ${CMAKE_SOURCE_DIR}/res/corvane.rc ${default_stub_cpp})
target_include_directories(corvane-sfx PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(corvane-sfx PRIVATE CORVANE_VERSION="${PROJECT_VERSION}")
target_compile_options(corvane-sfx PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wshadow -Werror -Wno-missing-field-initializers>
  $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_SOURCE_DIR}/res>)
set_property(SOURCE ${EXTRACTOR_SOURCES} APPEND PROPERTY COMPILE_OPTIONS
  -include${CMAKE_SOURCE_DIR}/tools/windows/extractor_hooks.h)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/res/corvane.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/res/corvane.ico ${CMAKE_SOURCE_DIR}/res/corvane.manifest)
target_link_options(corvane-sfx PRIVATE -static)
target_link_libraries(corvane-sfx PRIVATE comctl32 shell32 user32)
set_target_properties(corvane-sfx PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CORVANE_TOOL_OUTPUT_DIR})
