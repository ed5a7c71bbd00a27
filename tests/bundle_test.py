"""bundle_test.py BUILD_DIR CPACK: the board bundle as a board gets it. Makes
the archive with CPack in a scratch folder, unpacks it into an empty folder
outside the build tree and runs its run script there: through the target's
emulator alone (FIR_EMULATOR, no sysroot, so a library missing from the bundle
shows) when cross-built, natively otherwise, with two repetitions, on the
second CPU (FIR_CPU), on a board with no host name (uname -n says "(none)");
and checks that it takes no library from the machine. The run must print the
report at 0.00, one line for each counter and, last, the summary table, and
leave a results folder that scripts/bench --board reads, named for no host,
made on that CPU by this checkout's code. Before it, a FIR_CPU that no board
has must stop the run in one line, before it makes anything."""

import glob
import json
import os
import re
import subprocess
import sys
import tempfile

from shared import build_description
from shared.board_folder import read_board
from shared.result_files import FILES
from shared.results import InputError

# The CPU the run is asked to run on: the second where there is one.
PINNED = "1" if os.cpu_count() > 1 else "0"


def self_contained(objdump, bundle):
    """What the bundle would take from the machine: a program that needs a loader (all but the timing tools
    are static), or a library that it or a shipped library needs and that lib/ lacks. This machine may
    have the target's libraries (Debian's multiarch), so running the bundle alone would not show it."""
    problems = []
    shipped = set(os.listdir(os.path.join(bundle, "lib")))
    files = glob.glob(os.path.join(bundle, "bin", "*")) + glob.glob(os.path.join(bundle, "lib", "*"))
    for path in files:
        headers = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
        name = os.path.relpath(path, bundle)
        dynamic = re.search(r"^\s*INTERP\b", headers, re.M)
        if name.startswith("bin/") and not name.startswith("bin/kernel_timings") and dynamic:
            problems.append(f"{name} is not static")
        for needed in re.findall(r"^\s*NEEDED\s+(\S+)", headers, re.M):
            if needed not in shipped:
                problems.append(f"{name} needs {needed}, which the bundle lacks")
    return problems


def main(build_dir, cpack):
    build = build_description.load(build_dir)
    names = build_description.kernel_names(build)
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([cpack, "-G", "TGZ", "-B", os.path.join(scratch, "package")], cwd=build_dir, check=True,
                       capture_output=True)
        archive, = glob.glob(os.path.join(scratch, "package", "*.tar.gz"))
        board = os.path.join(scratch, "board")
        os.mkdir(board)
        subprocess.run(["tar", "xzf", archive], cwd=board, check=True)
        bundle, = glob.glob(os.path.join(board, "fir_benchmark-*"))
        problems += self_contained(build["objdump"], bundle)
        environment = {key: value for key, value in os.environ.items() if key != "QEMU_LD_PREFIX"}
        environment.update(FIR_EMULATOR=build["bundle_emulator"], FIR_REPETITIONS="2", FIR_CPU="4096",
                           PATH=f"{no_host_name(scratch)}:{os.environ['PATH']}")
        refused = subprocess.run(["sh", os.path.join(bundle, "run")], cwd=board, env=environment, capture_output=True,
                                 text=True, check=False)
        problems += check_refusal(refused, board)
        environment.update(FIR_CPU=PINNED)
        run = subprocess.run(["sh", os.path.join(bundle, "run")], cwd=board, env=environment, capture_output=True,
                             text=True, check=False)
        print(run.stdout)
        if run.returncode != 0:
            return f"run failed ({run.returncode}): {run.stderr.strip()[-500:]}"
        results = glob.glob(os.path.join(board, "results-*"))
        if len(results) != 1 or not re.fullmatch(r"results-none-\d{4}-\d\d-\d\d", os.path.basename(results[0])):
            return f"expected one results folder, results-none-DATE, found {results}"
        problems += check_output(run.stdout.splitlines(), names)
        problems += check_results(results[0], build, names)
    return "\n".join(problems) or None


def no_host_name(scratch):
    """A folder whose uname says what a board without a host name says."""
    folder = os.path.join(scratch, "no-host-name")
    os.mkdir(folder)
    with open(os.path.join(folder, "uname"), "w", encoding="utf-8") as uname:
        uname.write('#!/bin/sh\necho "(none)"\n')
    os.chmod(os.path.join(folder, "uname"), 0o755)
    return folder


def check_refusal(run, board):
    """A CPU that cannot be had: one line that names the CPUs that can, and nothing made."""
    said = run.stderr.strip().splitlines()
    if run.returncode == 0 or len(said) != 1 or "FIR_CPU=4096" not in said[0] or "online: " not in said[0]:
        return [f"FIR_CPU=4096 was not refused in one line ({run.returncode}): {run.stderr.strip()[-300:]}"]
    made = glob.glob(os.path.join(board, "results-*"))
    return [f"FIR_CPU=4096 left {made}"] if made else []


def check_output(lines, names):
    """The report at 0.00, a line for each counter, and last the summary's row for each kernel, with its
    -O0 and -O2 times."""
    problems = []
    if lines[:3] != ["RMSE_naive: 0.00", "RMSE_opt:   0.00", "RMSE_neon:  0.00"]:
        problems.append(f"the report is {lines[:3]}")
    for event in ("cycles", "instructions", "task-clock"):
        if len([line for line in lines if line.startswith(f"  {event} ")]) != 1:
            problems.append(f"not one line for the counter {event}")
    summary = next((i for i, line in enumerate(lines) if line.startswith("Summary: ")), None)
    if summary is None:
        return problems + ["no summary table"]
    rows = {line.split()[0]: line for line in lines[summary + 3:] if line.split() and line.split()[0] in names}
    time = r" +[0-9.]+ +[0-9.]+% +[0-9.]+x"
    for name in names:
        if not re.match(rf"{name}{time}{time}", rows.get(name, "")):
            problems.append(f"the summary has no -O0 and -O2 time for {name}: {rows.get(name)}")
    return problems


def check_results(folder, build, names):
    """A folder that scripts/bench --board reads, made on the CPU FIR_CPU named, by this checkout's code."""
    problems = []
    try:
        read_board(folder)
    except InputError as error:
        return [f"scripts/bench --board cannot read it: {error}"]
    loaded = {}
    for role in ("timings", "counters", "machine"):
        with open(os.path.join(folder, FILES[role]), encoding="utf-8") as source:
            loaded[role] = json.load(source)
    cpus = {"timings": loaded["timings"]["context"]["cpu"], "counters": loaded["counters"]["cpu"],
            "machine": loaded["machine"]["cpu"]}
    if any(str(cpu) != PINNED for cpu in cpus.values()):
        problems.append(f"not all on CPU {PINNED}: {cpus}")
    commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=os.path.dirname(os.path.abspath(__file__)),
                            capture_output=True, text=True, check=True).stdout.strip()
    if loaded["machine"]["build"]["commit"] != commit:
        problems.append(f"machine.json names {loaded['machine']['build']['commit']}, not {commit}")
    # The task clock is the software event that every Linux offers a process of its own, when it may count.
    counters = loaded["counters"]
    reason = counters["unavailable"].get("task-clock", "")
    if not build["bundle_emulator"] and set(counters["counters"].get("task-clock", {})) != set(names) and \
            "paranoid" not in reason:
        problems.append(f"the task clock was not counted natively: {reason}")
    return problems


if __name__ == "__main__":
    problem = main(*sys.argv[1:])
    if problem:
        print(problem)
        sys.exit(1)
