# Cross build for arm64 (aarch64-linux-gnu), tested under qemu-user: tests/cross.sh arm64
set(KEVRANE_TRIPLE aarch64-linux-gnu)
set(KEVRANE_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
