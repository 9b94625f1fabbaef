# Fails unless the driver image IMAGE imports from ntoskrnl.exe only.
# Run as: cmake -DOBJDUMP=... -DIMAGE=... -P check-imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
  OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${IMAGE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" dlls "${dump}")
if(NOT dlls STREQUAL "DLL Name: ntoskrnl.exe")
  message(FATAL_ERROR "${IMAGE} must import ntoskrnl.exe only, found: ${dlls}")
endif()
