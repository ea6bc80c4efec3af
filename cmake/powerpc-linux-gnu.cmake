# Cross build for the analyser's controller: 32-bit big-endian PowerPC Linux.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CROSS_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_NM ${CROSS_TRIPLE}-nm CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode emulation; the sysroot supplies the target's loader and libc.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/${CROSS_TRIPLE})
