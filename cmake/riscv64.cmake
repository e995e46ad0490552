# Cross build for riscv64 (riscv64-linux-gnu), tested under qemu-user:
# tests/cross.sh riscv64. Debian 12 has the compiler but no riscv64 packages;
# the target's libraries, its C library among them, come from Debian 13.
set(KEVRANE_TRIPLE riscv64-linux-gnu)
set(KEVRANE_QEMU qemu-riscv64)
set(KEVRANE_LIBC ${KEVRANE_SYSROOT})
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
