"""program_build_test.py BUILD_DIR READELF: checks the built program rather
than its behaviour. Each kernel of the build must call the profiling hook on
entry (or gprof cannot attribute its time), and each vector kernel must
contain the target's vector multiply (or it silently fell back to scalar
code). Where the target passes floats in VFP registers (hard-float), the
program must do so. The hook and the multiply are the target's
(tools/shared/instruction_sets.py)."""

import re
import subprocess
import sys

from explain.parsers import function_bodies, kernel_of
from shared import build_description
from shared.instruction_sets import INSTRUCTION_SETS


def main(build_dir, readelf):
    build = build_description.load(build_dir)
    target = INSTRUCTION_SETS[build["isa"]]
    hook, vector_op = target.profiling_hook, target.vector_multiply
    program = build["programs"]["fir_benchmark"]
    names = build_description.kernel_names(build)
    disassembly = subprocess.run([build["objdump"], "-d", "--no-show-raw-insn", program], check=True,
                                 capture_output=True, text=True).stdout
    bodies = {kernel_of(symbol, names): lines for symbol, lines in function_bodies(disassembly).items()
              if kernel_of(symbol, names)}
    problems = []
    for kernel in build["kernels"]:
        name, body = kernel["name"], bodies.get(kernel["name"], [])
        if not any(re.search(f"<({hook})[@>]", line) for line in body):
            problems.append(f"{name} does not call {hook}")
        if kernel["lanes"] > 1 and not any(re.search(vector_op, line) for line in body):
            problems.append(f"{name} has no {vector_op}")
    if target.hard_float and "Tag_ABI_VFP_args: VFP registers" not in subprocess.run(
            [readelf, "-A", program], check=True, capture_output=True, text=True).stdout:
        problems.append(f"{program} is not hard-float")
    for problem in problems:
        print(problem)
    if not problems:
        print(f"every kernel ({', '.join(names)}) calls {hook}; the vector kernels use {vector_op}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
