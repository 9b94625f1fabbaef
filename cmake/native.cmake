# Native build: the pure rules of the tool with GoogleTest, under ASan/UBSan,
# and the rig's Linux programs.
set(QUENLOW_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${QUENLOW_SANITIZE})
add_link_options(${QUENLOW_SANITIZE})

add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(quenlow_rules STATIC flash/protocol.cpp log/logtext.cpp)
target_include_directories(quenlow_rules PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(quenlow_rules PRIVATE ${QUENLOW_WARNINGS})

add_subdirectory(tests/unit)
add_subdirectory(rig/xcursor)
