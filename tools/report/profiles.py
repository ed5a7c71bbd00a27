"""gprof's flat profile of a run and callgrind_annotate's listing of the whole program: gprof run on the
build's own program, and both parsed into plain data."""

import os
import re

from shared import build_description
from shared.cli import ToolError, run_tool


def parse_gprof_flat(text):
    """gprof -b -p's flat profile: {function: (self seconds, calls)} of every function it saw called."""
    rows = {}
    for line in text.splitlines():
        fields = line.split()
        # % time, cumulative s, self s, calls, self ms/call, total ms/call, name...
        if len(fields) >= 7 and re.fullmatch(r"[\d.]+", fields[0]) and fields[3].isdigit():
            rows[fields[6].split("(")[0]] = (float(fields[2]), int(fields[3]))
    return rows


def parse_inclusive(annotated, marker):
    """callgrind_annotate --inclusive=yes: the inclusive count of the first function whose line holds
    marker, or None."""
    for line in annotated.splitlines():
        if marker in line:
            return int(line.split()[0].replace(",", ""))
    return None


def gprof_flat(build_dir, run_dir):
    """gprof's flat profile of the run in run_dir (its gmon.out), parsed."""
    build = build_description.load(build_dir)
    if not os.path.exists(os.path.join(run_dir, "gmon.out")):
        raise ToolError(f"{os.path.join(run_dir, 'gmon.out')}: missing (the program did not run to its end there?)")
    return parse_gprof_flat(run_tool([build["gprof"], "-b", "-p", build["programs"]["fir_benchmark"], "gmon.out"],
                                     cwd=run_dir).stdout)
