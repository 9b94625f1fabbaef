# Windows cross-build.  Both widths build the tool; the i686 tree, whose
# quenlow.exe is the one users get, also builds the rig's Windows programs,
# the Wine tests and the release package; the x86_64 tree builds the
# stand-in driver, which must match the 64-bit Wine prefix.

# Every program of the tree lands in one folder, where the tests find them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Functions that exist on Windows XP SP3, ANSI calls throughout.
set(QUENLOW_WIN_DEFS _WIN32_WINNT=0x0501 WINVER=0x0501 NTDDI_VERSION=0x05010300 _WIN32_IE=0x0600
  NOMINMAX)

# Everything of the tool but its entry point, so tests can link the real code.
add_library(quenlow_core STATIC
  common/globals.cpp
  shell/catalogue.cpp
  shell/mainwnd.cpp
  link/port.cpp
  link/port_lock.cpp
  link/reader.cpp
  link/run_end.cpp
  link/replies.cpp
  log/logtext.cpp
  log/runlog.cpp
  flash/await.cpp
  flash/protocol.cpp
  flash/record.cpp
  flash/transfer.cpp
  flash/worker.cpp
  ui/progress_dlg.cpp
  ui/sync_shutdown.cpp)
target_include_directories(quenlow_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(quenlow_core PUBLIC ${QUENLOW_WIN_DEFS})
target_compile_options(quenlow_core PRIVATE ${QUENLOW_WARNINGS})
target_link_libraries(quenlow_core PUBLIC advapi32 user32 kernel32)

# The runtime is linked in: the executable needs nothing but Windows' own DLLs.
set(QUENLOW_STATIC_LINK -static -static-libgcc -static-libstdc++)

# The released bytes follow from the sources alone, so that anyone can
# rebuild them: file names in the code (assertions) are relative to the
# source folder, and the shipped executable carries no link time and no
# debug sections.
set(QUENLOW_PREFIX_MAP -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
target_compile_options(quenlow_core PRIVATE ${QUENLOW_PREFIX_MAP})

# The icon, drawn from its SVG at the sizes Explorer and the taskbar use:
# bitmaps up to 48 pixels, which every Windows reads, and 256 as PNG, which
# Vista and later read.
find_program(QUENLOW_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(QUENLOW_ICOTOOL icotool REQUIRED)
set(QUENLOW_ICON_STEPS)
foreach(size 16 24 32 48 256)
  list(APPEND QUENLOW_ICON_STEPS COMMAND ${QUENLOW_RSVG_CONVERT} -w ${size} -h ${size}
    -o icon${size}.png ${CMAKE_SOURCE_DIR}/res/quenlow.svg)
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quenlow.ico
  ${QUENLOW_ICON_STEPS}
  COMMAND ${QUENLOW_ICOTOOL} -c -o quenlow.ico icon16.png icon24.png icon32.png icon48.png
          -r icon256.png
  DEPENDS ${CMAKE_SOURCE_DIR}/res/quenlow.svg
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  VERBATIM)

add_executable(quenlow WIN32 shell/winmain.cpp res/quenlow.rc)
target_compile_options(quenlow PRIVATE ${QUENLOW_WARNINGS} ${QUENLOW_PREFIX_MAP})
# The resource compiler finds the built icon here.
target_include_directories(quenlow PRIVATE ${CMAKE_BINARY_DIR})
target_link_libraries(quenlow PRIVATE quenlow_core)
target_link_options(quenlow PRIVATE ${QUENLOW_STATIC_LINK} -s -Wl,--no-insert-timestamp)
set_source_files_properties(res/quenlow.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/res/quenlow.manifest;${CMAKE_SOURCE_DIR}/res/resource.h;${CMAKE_BINARY_DIR}/quenlow.ico")

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  add_subdirectory(rig/driver)
else()
  # Test programs run under Wine through the rig's runner, in a lane of their own.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/rig/wine-run.sh)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_subdirectory(rig)
  add_subdirectory(tests/wine)
  include(cmake/package.cmake)
endif()
