# Cross build for ppc64el (powerpc64le-linux-gnu), tested under qemu-user: tests/cross.sh ppc64el
set(KEVRANE_TRIPLE powerpc64le-linux-gnu)
set(KEVRANE_QEMU qemu-ppc64le)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
