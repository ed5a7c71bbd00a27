# Cross-build for 32-bit Arm Linux, hard-float (Debian: g++-arm-linux-gnueabihf).
# The ARMv7-A NEON flags are added by CMakeLists.txt for every 32-bit Arm build,
# native or cross, so that a board's own compiler gets them too.
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(fir_triple arm-linux-gnueabihf)
set(fir_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
