# Cross build for s390x (s390x-linux-gnu), tested under qemu-user: tests/cross.sh s390x
set(KEVRANE_TRIPLE s390x-linux-gnu)
set(KEVRANE_QEMU qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
