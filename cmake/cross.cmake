# What the architecture toolchain files share. KEVRANE_SYSROOT is a folder
# holding the target's ncurses and GoogleTest, unpacked from its Debian
# packages by tests/cross.sh; the C library comes with the cross compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${KEVRANE_TRIPLE}-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEVRANE_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${KEVRANE_SYSROOT} /usr/${KEVRANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Or FindCurses takes the host's flags from pkg-config.
set(ENV{PKG_CONFIG_LIBDIR} ${KEVRANE_SYSROOT}/usr/lib/${KEVRANE_TRIPLE}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KEVRANE_SYSROOT})

# Test programs, test discovery included, run under the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEVRANE_QEMU} -L /usr/${KEVRANE_TRIPLE}
    -E LD_LIBRARY_PATH=${KEVRANE_SYSROOT}/usr/lib/${KEVRANE_TRIPLE})
