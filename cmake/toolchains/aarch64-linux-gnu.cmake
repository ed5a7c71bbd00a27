# Cross-build for 64-bit Arm Linux (Debian: g++-aarch64-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(fir_triple aarch64-linux-gnu)
set(fir_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
