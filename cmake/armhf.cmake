# Cross build for armhf (arm-linux-gnueabihf), tested under qemu-user: tests/cross.sh armhf
set(KEVRANE_TRIPLE arm-linux-gnueabihf)
set(KEVRANE_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
