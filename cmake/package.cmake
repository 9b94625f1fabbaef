# The release package for Windows users: quenlow-1.1-win32.zip with the
# shipped executable and a README for the desktop, and a SHA-256 file beside
# it.  rig/package.sh makes it.
install(TARGETS quenlow RUNTIME DESTINATION .)
# Notepad on older Windows wants CR LF.
configure_file(${CMAKE_SOURCE_DIR}/docs/README.txt ${CMAKE_BINARY_DIR}/README.txt NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quenlow)
set(CPACK_PACKAGE_VERSION 1.1)
set(CPACK_PACKAGE_FILE_NAME quenlow-1.1-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
