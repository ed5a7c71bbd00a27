# Shared by the cross toolchain files, which set fir_triple (the Debian
# cross compiler's prefix) and fir_qemu (qemu's user-mode emulator for it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${fir_triple}-g++)
set(FIR_GPROF ${fir_triple}-gprof)
# The cross compiler's own sysroot, then Debian's multiarch folders
# (/usr/lib/TRIPLE), where libbenchmark-dev:ARCH installs.
set(CMAKE_FIND_ROOT_PATH /usr/${fir_triple} /)
set(CMAKE_LIBRARY_ARCHITECTURE ${fir_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The emulator alone runs the board bundle, whose programs need no libraries
# of the machine. -L: where it finds the target's dynamic loader and libraries
# for the build's own programs; without it the tests cannot even be listed at
# build time.
set(FIR_BUNDLE_EMULATOR ${fir_qemu})
set(CMAKE_CROSSCOMPILING_EMULATOR ${fir_qemu} -L /usr/${fir_triple})
