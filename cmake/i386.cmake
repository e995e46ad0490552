# Cross build for i386 (i686-linux-gnu), run by the x86-64 kernel itself
# through the target's loader: tests/cross.sh i386
set(KEVRANE_TRIPLE i686-linux-gnu)
set(KEVRANE_MULTIARCH i386-linux-gnu)
set(KEVRANE_LOADER ld-linux.so.2)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
