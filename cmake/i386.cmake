# Cross build for i386 (i686-linux-gnu): tests/cross.sh i386. Its tests run on
# the x86-64 kernel itself through the target's loader, or under qemu-i386
# where the kernel runs no 32-bit x86 programs: tests/cross.sh finds out and
# sets KEVRANE_QEMU for the latter.
set(KEVRANE_TRIPLE i686-linux-gnu)
set(KEVRANE_MULTIARCH i386-linux-gnu)
set(KEVRANE_LOADER ld-linux.so.2)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
