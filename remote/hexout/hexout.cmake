# Included by remote/CMakeLists.txt (the generated source must be made in the folder of its
# target). hexout, the helper the SSH adapter uploads: a static 32-bit x86 program (gcc -m32 -static, which
# needs gcc-multilib), embedded into the connections library as a byte array.
find_program(HEXOUT_GCC gcc REQUIRED)
set(hexout_sources ${CMAKE_CURRENT_SOURCE_DIR}/hexout/main.c ${CMAKE_CURRENT_SOURCE_DIR}/hexout/file_utility_linux.c)
set(hexout_binary ${CMAKE_CURRENT_BINARY_DIR}/hexout/hexout-x86)
add_custom_command(
  OUTPUT ${hexout_binary}
  COMMAND ${HEXOUT_GCC} -m32 -static -Os -s -std=gnu11 -Wall -Wextra -D_FILE_OFFSET_BITS=64
          -o ${hexout_binary} ${hexout_sources}
  DEPENDS ${hexout_sources} ${CMAKE_CURRENT_SOURCE_DIR}/hexout/file_utility_linux.h
  COMMENT "hexout (static, 32-bit x86)"
  VERBATIM)
set(hexout_image ${CMAKE_CURRENT_BINARY_DIR}/hexout/hexout_image.cpp)
add_custom_command(
  OUTPUT ${hexout_image}
  COMMAND ${CMAKE_COMMAND} -DIN=${hexout_binary} -DOUT=${hexout_image} -P ${CMAKE_CURRENT_SOURCE_DIR}/hexout/embed.cmake
  DEPENDS ${hexout_binary} ${CMAKE_CURRENT_SOURCE_DIR}/hexout/embed.cmake
  VERBATIM)
add_custom_target(hexout_program DEPENDS ${hexout_binary})
target_sources(kpw_remote PRIVATE ${hexout_image})
