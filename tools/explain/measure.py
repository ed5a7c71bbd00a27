"""Running the build's own programs under the tools that count them, and loading what they count:
kernel_instructions under callgrind (native) or qemu's execution trace (emulated), matched to objdump's
disassembly of the same binary. The target, its tools and the binaries come from the build's description."""

import json
import os
import tempfile

from shared import build_description
from shared.instruction_sets import INSTRUCTION_SETS
from shared.cli import ToolError, run_tool
from explain.counts import annotate
from explain.parsers import parse_callgrind, parse_objdump, parse_qemu_trace


def measure(build_dir, arguments=(), program="kernel_instructions"):
    """Runs the build's kernel_instructions (or another program that reports as it does) once, with these
    arguments, and returns everything counted."""
    build = build_description.load(build_dir)
    command = build_description.command(build, program)
    isa, binary = build["isa"], command[-1]
    if isa not in INSTRUCTION_SETS:
        raise ToolError(f"no classifier for {isa}'s instructions")
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "counts")
        if build["emulator"]:
            method = f"{os.path.basename(command[0])}'s execution trace"
            program = run_tool(command[:-1] + ["-singlestep", "-d", "nochain,exec", "-D", out, binary, *arguments])
            reader = parse_qemu_trace
        else:
            method = "callgrind"
            program = run_tool(["valgrind", "--tool=callgrind", "--dump-instr=yes", f"--callgrind-out-file={out}",
                                binary, *arguments])
            reader = parse_callgrind
        ran = json.loads(program.stdout)
        with open(out, encoding="utf-8", errors="replace") as counted:
            counts = reader(counted, build_description.kernel_names(ran))
    objdump = run_tool([build["objdump"], "-d", "--no-show-raw-insn", binary]).stdout
    return dict(measured_from(isa, method, ran, objdump, counts), optimisation=build.get("optimisation", "-O0"))


def measured_from(isa, method, ran, objdump, counts):
    """Everything counted, from what kernel_instructions reported (ran), its disassembly and the counts.
    callgrind counts at the binary's own addresses; qemu's trace where qemu loaded it, which is where each
    kernel's entry, the lowest address that a call of it runs, was counted."""
    names = build_description.kernel_names(ran)
    disassembly = parse_objdump(objdump, isa, names)

    def offset(name):
        return 0 if method == "callgrind" or not counts[name] else min(counts[name]) - disassembly[name][0][0]

    rows = {name: annotate(disassembly[name], counts[name], INSTRUCTION_SETS[isa].classify, offset(name)) for name in names}
    return {"isa": isa, "method": method, "kernels": ran["kernels"], "outputs": ran["outputs"], "taps": ran["taps"],
            "rows": rows}
