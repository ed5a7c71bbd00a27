"""Two builds' kernel_timings taken in alternation, the rounds that paired.py judges. Each side is a build
folder (its build.json says how to run its programs, through its emulator where it has one) or an
unpacked board bundle for this machine's architecture. In each round both sides time every kernel once,
one repetition each in Google Benchmark's random order, the sides in a random order too, all on one CPU;
the record (record.py) keeps every round as it is taken, with both sides' builds (from their machine_info)
and the machine."""

import glob
import os
import random
import signal
import sys
import tempfile

from shared import build_description
from compare.record import Journal, read_record
from shared.cli import Stopped, ToolError, run_tool
from shared.results import load_json, read_iterations, read_text

# Each side's repetition lasts at least this long, in seconds: short, so that the rounds are many and
# close together.
MIN_TIME = 0.05
# ELF's e_machine, by the name Linux gives the machine.
ELF_MACHINES = {40: "32-bit Arm", 62: "x86-64", 183: "AArch64"}


def elf_machine(path):
    with open(path, "rb") as binary:
        header = binary.read(20)
    if header[:4] != b"\x7fELF":
        raise ToolError(f"{path}: not a program")
    return int.from_bytes(header[18:20], "little")


def side(path):
    """How to run one side's kernel_timings and machine_info, and its kernels in the table's order."""
    if os.path.exists(os.path.join(path, "build.json")):
        build = build_description.load(path)
        return {"name": path, "timings": build_description.command(build, "kernel_timings"),
                "machine_info": build_description.command(build, "machine_info"),
                "kernels": build_description.kernel_names(build)}
    timings = os.path.join(path, "bin", "kernel_timings")
    if os.path.exists(os.path.join(path, "CMakeCache.txt")):
        raise ToolError(f"{path}: a build that does not describe itself (no build.json): a revision from before "
                        f"the comparison came, which it cannot run")
    if not os.path.exists(timings):
        raise ToolError(f"{path}: neither a build folder nor an unpacked bundle")
    # The bundle runs here only if it was built for the machine that runs this very interpreter.
    theirs, ours = elf_machine(timings), elf_machine(sys.executable)
    if theirs != ours:
        raise ToolError(f"{path}: a bundle for {ELF_MACHINES.get(theirs, theirs)}, and this machine runs "
                        f"{ELF_MACHINES.get(ours, ours)}: compare it on its own board")
    loader, = glob.glob(os.path.join(path, "lib", "ld-linux*")) or [None]
    if loader is None:
        raise ToolError(f"{path}: a bundle without its loader in lib/")
    return {"name": path, "timings": [loader, "--library-path", os.path.join(path, "lib"), timings],
            "machine_info": [os.path.join(path, "bin", "machine_info")],
            "kernels": read_text(os.path.join(path, "kernels")).split()}


def provenance(one, cpu):
    """What machine_info writes of a side's build and of the machine, from a scratch folder."""
    with tempfile.TemporaryDirectory() as work:
        run_tool(one["machine_info"] + ["begin"], cwd=work, env=dict(os.environ, FIR_CPU=str(cpu)))
        written, = glob.glob(os.path.join(work, "*.json"))
        return load_json(written, writer="machine_info")


def time_once(one, cpu, work):
    """{kernel: ms per call} of one repetition of each kernel."""
    out = os.path.join(work, "round.json")
    run_tool(one["timings"] + ["--benchmark_repetitions=1", "--benchmark_enable_random_interleaving=true",
                               f"--benchmark_min_time={MIN_TIME}", f"--benchmark_out={out}"],
             env=dict(os.environ, FIR_CPU=str(cpu)))
    return load_json(out, read_iterations, "kernel_timings")


def progress(n, count):
    """The round under way: a line that counts up in a terminal, and a line every tenth round in a log."""
    if sys.stderr.isatty():
        print(f"\rround {n} of {count}", end="\n" if n == count else "", file=sys.stderr, flush=True)
    elif n == 1 or n % 10 == 0 or n == count:
        print(f"round {n} of {count}", file=sys.stderr, flush=True)


def take_rounds(path_a, path_b, count, out):
    """count rounds of A and B in the record at out, going on from the rounds an earlier call with the same
    sides kept there: the whole record."""
    sides = {"A": side(path_a), "B": side(path_b)}
    # Going on, on the CPU the kept rounds were taken on.
    cpu = read_record(out)["cpu"] if os.path.exists(out) else int(run_tool(sides["A"]["machine_info"] + ["cpu"]).stdout)
    built = {name: provenance(one, cpu) for name, one in sides.items()}
    machine = {key: value for key, value in built["A"].items() if key not in ("build", "before", "flags")}
    header = {"sides": {name: {"path": sides[name]["name"], "build": built[name]["build"]} for name in sides},
              "machine": machine, "cpu": cpu,
              "kernels": [kernel for kernel in sides["A"]["kernels"] if kernel in sides["B"]["kernels"]]}
    journal = Journal(out, header)
    if journal.rounds:
        print(f"{len(journal.rounds)} rounds of these two sides are kept in {out}: going on from there",
              file=sys.stderr)
    previous = signal.signal(signal.SIGTERM, interrupted)
    try:
        with tempfile.TemporaryDirectory() as work:
            for n in range(len(journal.rounds), count):
                progress(n + 1, count)
                order = random.sample(["A", "B"], 2)
                times = {name: time_once(sides[name], cpu, work) for name in order}
                journal.add(dict({name: {kernel: times[name][kernel] for kernel in header["kernels"]}
                                  for name in order}, order=order))
    except (KeyboardInterrupt, ToolError, OSError) as error:
        if sys.stderr.isatty():
            print(file=sys.stderr)
        why = str(error) or type(error).__name__
        if isinstance(error, KeyboardInterrupt):
            why = f"interrupted{' by ' + error.args[0] if error.args else ''}"
        raise Stopped(f"stopped at round {len(journal.rounds) + 1} of {count} ({why}); the "
                      f"{len(journal.rounds)} rounds taken are kept in {out}, and the same command goes on from "
                      f"there", exit_status(error)) from error
    finally:
        signal.signal(signal.SIGTERM, previous)
        journal.close()
    return journal.record()


def exit_status(error):
    """A shell's exit status for what stopped the rounds: 128 and the signal's number for a signal."""
    if isinstance(error, KeyboardInterrupt):
        return 128 + (signal.SIGTERM if error.args == ("SIGTERM",) else signal.SIGINT)
    return 1


def interrupted(number, _):
    """A SIGTERM (a kill, a CI job's timeout) stops the rounds as Ctrl-C does."""
    raise KeyboardInterrupt(signal.Signals(number).name)
