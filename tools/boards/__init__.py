"""The bundle on boards: emulated ones that boot Debian's own Arm kernels under qemu-system."""
