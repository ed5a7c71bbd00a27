"""The samples the docs show, each written from its record by the code that prints it: scripts/run's output,
the bench and sweep tables, a board's block and summary, the cores of the emulated boards, the cross-board
table, a comparison's verdicts, the rates and the database's scale."""

import importlib.util
import json
import os
import tempfile

from compare import apart, compare_runs, paired, rates
from compare.record import read_record
from docs.sources import DATA, fenced, mixes, record
from boards import cores
from report.board_block import board_table
from report.figures import profile_figures, program_figures
from report.profiles import parse_gprof_flat
from report.sweep import sweep_table
from report.tables import bench_table, run_profile_lines, run_timings_lines
from shared import build_description, checkout
from shared.board_folder import read_board
from shared.cli import ToolError, run_tool
from shared.result_files import ENTRIES
from shared.results import load_json, read_sweep, read_timings
from store import database, scale
from store.table import table_lines
from store.views import rows

# The recorded results folders, old and new, that the cross-board table shows.
RECORDED_BOARDS = ("board", "board-a9", "board-a7", "board-big-little", "board-host")


def needs(build):
    if build is None:
        raise ToolError("this sample runs the build's own programs: give --build")
    return build


def run_sample(build):
    """scripts/run's output on this machine, from its recorded pieces: the report, gprof's profile, the
    counters' lines as kernel_counters printed them, and the timings."""
    folder = os.path.join(DATA, "board-host")
    counters = run_tool(build_description.command(build_description.load(needs(build)), "kernel_counters") +
                        ["--lines", os.path.join(folder, "counters.json")]).stdout.splitlines()
    names = build_description.kernel_names(build_description.load(build))
    profile = profile_figures(parse_gprof_flat(record("tests/data/gprof-flat-profile.txt")), names)
    timings = load_json(os.path.join(folder, "timings.json"), read_timings)
    return fenced(record("tests/data/board-host/report.txt").splitlines() + [""] + run_profile_lines(profile) + [""] +
                  counters + [""] + run_timings_lines(timings))


def bench():
    o0, o2 = (load_json(f"{DATA}/bench/{level}.json", read_timings) for level in ("O0", "O2"))
    run = json.loads(record("tests/data/bench/run.json"))
    program = program_figures(record("tests/data/bench/program.txt"), json.loads(record("tests/data/bench/program.json")),
                              run["peak_kib"], run["values"], list(o0["kernels"]))
    return fenced(bench_table(o0, o2, mixes(), program))


def sweep():
    o0, o2 = (load_json(f"{DATA}/sweep/{name}.json", read_sweep) for name in ("sweep", "sweep-O2"))
    return fenced(sweep_table(o0, o2))


def files():
    """The files of a kind of core's run, from their one home."""
    lines = ["| file | written by |", "|---|---|"]
    return "\n".join(lines + [f"| `{entry['name']}` | {entry['written_by']} |" for role, entry in ENTRIES.items()
                              if role not in ("summary", "kind")])


def board_block(folder):
    lines = []
    for kind in read_board(checkout.path(folder)):
        kind["dir"] = os.path.relpath(kind["dir"], checkout.ROOT)
        lines += board_table(kind, mixes(), None)
    return fenced(lines)


def vm_cores():
    """The emulated cores, and the tests of tests/vm_test.py that boot each."""
    spec = importlib.util.spec_from_file_location("vm_test", checkout.path("tests", "vm_test.py"))
    vm_test = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(vm_test)
    lines = ["| core | qemu's machine, Debian's kernel | tests, and what each holds |", "|---|---|---|"]
    for name, core in cores.CORES.items():
        tests = [f"`{case}`: {vm_test.HOLDS[check if isinstance(check, str) else 'pmu' if cpu else 'pmus']}"
                 f"{', the PMU nodes in the other order' if options.get('reversed_pmus') else ''}"
                 for case, (_, tested, cpu, options, check) in vm_test.CASES.items() if tested == name]
        lines.append(f"| `{name}` | `{core.machine}` ({core.cpus} x {core.cpu}), `linux-image-{core.flavour}` | "
                     f"{'; '.join(tests) or 'none: offered, not tested'} |")
    return "\n".join(lines)


def results_table():
    with tempfile.TemporaryDirectory() as work:
        db = database.connect(os.path.join(work, "results.sqlite"))
        for name in RECORDED_BOARDS:
            database.add(db, os.path.join(DATA, name))
        return fenced(table_lines(rows(db)))


def compare(path):
    return fenced(compare_runs.paired_lines(read_record(checkout.path(path)), paired.SMALLEST_EFFECT)[-3:])


def compare_rates():
    return fenced(rates.rate_lines(json.loads(record("tests/data/compare/rates.json"))))


def apart_verdicts(path):
    with tempfile.TemporaryDirectory() as work:
        lines = apart.apart_pair(os.path.join(DATA, "compare", "before.json"), checkout.path(path),
                                 os.path.join(work, "report.json"))
    return fenced([line for line in lines[1:]])


def scale_table():
    return fenced(scale.scale_lines(json.loads(record("tests/data/store/scale.json"))))
