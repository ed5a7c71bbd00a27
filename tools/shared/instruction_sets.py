"""What the tools know of each instruction set, under the spelling that CMake gives a build (build.json's
isa, the one other place it is written): how objdump comments its lines and how its instructions sort into
categories; the profiling hook and the vector multiply that the program's build must show; what its vector
unit does that GCC and the arithmetic check must respect; and how an emulated board of it boots."""

import collections

from shared.classify import classify_aarch64, classify_arm, classify_x86

InstructionSet = collections.namedtuple("InstructionSet", [
    "classify",            # (mnemonic, operands) -> (category, op)
    "comment",             # where objdump's comment starts
    "profiling_hook",      # the -pg hook a kernel calls, as a pattern: the static C library names it with one
                           # more underscore than the shared one
    "vector_multiply",     # the pattern of the vector kernel's multiply
    "hard_float",          # floats passed in VFP registers, which the build must show
    "unfused_vector_mla",  # a vector multiply-accumulate that rounds the product (ARMv7's VMLA)
    "flushes_subnormals",  # the vector unit flushes subnormals to zero, which GCC will not use unasked
    "debian_arch",         # Debian's name for it, where a board of it can be emulated
    "qemu_system",         # and the emulator that boots that board
])

X86_64, ARMV7, AARCH64 = "x86-64", "ARMv7", "AArch64"
INSTRUCTION_SETS = {
    X86_64: InstructionSet(classify_x86, "#", r"_?mcount", r"mulps", False, False, False, None, None),
    ARMV7: InstructionSet(classify_arm, "@", r"__gnu_mcount_nc", r"vmla\.f32", True, True, True, "armhf",
                          "qemu-system-arm"),
    AARCH64: InstructionSet(classify_aarch64, "//", r"__?mcount", r"fmul\s+v[0-9]+\.4s", False, False, False,
                            "arm64", "qemu-system-aarch64"),
}
# The Arm targets, as the scripts and presets name them.
TARGETS = {"armv7": ARMV7, "aarch64": AARCH64}
