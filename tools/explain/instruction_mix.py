#!/usr/bin/env python3
"""Where each FIR kernel's instructions go, per multiply-add.

Runs a build's kernel_instructions (one call of each kernel, nothing else) and
counts every instruction it executes: with callgrind (--dump-instr=yes) where
the build runs natively, and with qemu's execution trace (-singlestep, one
line per executed instruction) where it runs under the build's emulator. The
counts are matched, address by address, to objdump's disassembly of the same
binary and sorted into a few plain categories. The target, its tools and the
binary come from the build's description; the kernels and the shape they ran
from what kernel_instructions itself reports.

    instruction_mix.py BUILD_DIR            the explanation: mix, hot loops, lessons
    instruction_mix.py BUILD_DIR --summary  instructions per multiply-add, one line
    instruction_mix.py BUILD_DIR --json     the counts, for scripts/bench
    instruction_mix.py BUILD_DIR --check [--save FILE]
                                            exits 1 unless the kernels' arithmetic is as written;
                                            --save also keeps the counts, as --json prints them
"""

import argparse
import json
import sys

from shared.cli import entry
from explain.counts import arithmetic_problems, summarise_all
from explain.measure import measure
from explain.mix_report import as_json, explain, summary_line


def run(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--summary", action="store_true")
    mode.add_argument("--json", action="store_true")
    mode.add_argument("--check", action="store_true")
    parser.add_argument("--save", help="with --check, the file that keeps the counts")
    args = parser.parse_args(argv)
    if args.save and not args.check:
        parser.error("--save goes with --check")
    measured = measure(args.build_dir)
    summaries = summarise_all(measured)
    if args.json:
        json.dump(as_json(measured, summaries), sys.stdout, indent=1)
    elif args.summary:
        print(summary_line(measured, summaries))
    elif args.check:
        if args.save:
            with open(args.save, "w", encoding="utf-8") as saved:
                json.dump(as_json(measured, summaries), saved, indent=1)
        problems = arithmetic_problems(measured["isa"], measured["kernels"], summaries)
        print("\n".join(problems) or f"{measured['isa']}: every kernel's arithmetic is as written",
              file=sys.stderr if problems else sys.stdout)
        return 1 if problems else 0
    else:
        print("\n".join(explain(measured, summaries)))
    return 0


if __name__ == "__main__":
    sys.exit(entry("instruction_mix", run, sys.argv[1:]))
