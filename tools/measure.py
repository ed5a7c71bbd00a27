"""Running the build's own programs under the tools that count them, and loading what they count:
kernel_instructions under callgrind (native) or qemu's execution trace (emulated), matched to objdump's
disassembly of the same binary; and gprof's flat profile of a run. The target, its tools and the
binaries come from the build's description."""

import json
import os
import tempfile

import build_description
from instruction_sets import INSTRUCTION_SETS
from cli import ToolError, run_tool
from figures import annotate
from parsers import parse_callgrind, parse_gprof_flat, parse_objdump, parse_qemu_trace


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


def gprof_flat(build_dir, run_dir):
    """gprof's flat profile of the run in run_dir (its gmon.out), parsed."""
    build = build_description.load(build_dir)
    if not os.path.exists(os.path.join(run_dir, "gmon.out")):
        raise ToolError(f"{os.path.join(run_dir, 'gmon.out')}: missing (the program did not run to its end there?)")
    return parse_gprof_flat(run_tool([build["gprof"], "-b", "-p", build["programs"]["fir_benchmark"], "gmon.out"],
                                     cwd=run_dir).stdout)


def describe_machine(build_dir):
    """What the build's machine_info says of the machine it runs on: its core, caches..."""
    command = build_description.command(build_description.load(build_dir), "machine_info")
    return json.loads(run_tool(command + ["show"]).stdout)
