# What the architecture toolchain files share. KEVRANE_SYSROOT is a folder
# holding the target's ncurses and GoogleTest, unpacked from its Debian
# packages by tests/cross.sh; the C library comes with the cross compiler
# (KEVRANE_TRIPLE), unless the toolchain file names another (KEVRANE_LIBC).
# KEVRANE_MULTIARCH is Debian's name for the target's library folder when it
# is not the compiler's triple.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${KEVRANE_TRIPLE}-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEVRANE_SYSROOT KEVRANE_QEMU)
if(NOT KEVRANE_MULTIARCH)
  set(KEVRANE_MULTIARCH ${KEVRANE_TRIPLE})
endif()
if(NOT KEVRANE_LIBC)
  set(KEVRANE_LIBC /usr/${KEVRANE_TRIPLE})
endif()
set(target_libs ${KEVRANE_SYSROOT}/usr/lib/${KEVRANE_MULTIARCH})

set(CMAKE_FIND_ROOT_PATH ${KEVRANE_SYSROOT} /usr/${KEVRANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Or FindCurses takes the host's flags from pkg-config.
set(ENV{PKG_CONFIG_LIBDIR} ${target_libs}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KEVRANE_SYSROOT})

# Test programs, test discovery included, run under the emulator, or on a
# machine that runs the target's code itself, through the target's own
# loader. KEVRANE_ARGV0 is how either is told the name to give the program.
# The target's C library is named first: the host's loader cache may list
# libraries of the same architecture from another C library (/lib32 beside
# x86-64), which the target's loader would otherwise mix with its own.
if(KEVRANE_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEVRANE_QEMU} -L ${KEVRANE_LIBC}
      -E LD_LIBRARY_PATH=${KEVRANE_LIBC}/lib:${target_libs})
  set(KEVRANE_ARGV0 -0)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEVRANE_LIBC}/lib/${KEVRANE_LOADER}
      --library-path ${KEVRANE_LIBC}/lib:${target_libs})
  set(KEVRANE_ARGV0 --argv0)
endif()
