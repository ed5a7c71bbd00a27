#!/usr/bin/env python3
"""A build's description, build/PRESET/build.json, written by CMake: the
target's instruction set, its emulator (empty when native: with the target's
libraries for the build's own programs; bundle_emulator alone for the board
bundle, which brings its own), its objdump and gprof, the paths of the
build's programs and of its board bundle, and the kernels and the sweep's
taps, as the build's own kernel_instructions reports them. Every script and
tool reads the target from here.

    build_description.py BUILD_DIR command PROGRAM   the words that run PROGRAM, one a line
    build_description.py BUILD_DIR get KEY            one value (isa, gprof, bundle...)
"""

import json
import os
import sys

from shared.cli import ToolError, entry, run_tool


class DescriptionError(ToolError):
    """A build that cannot be described: not configured, or not built."""


def load(build_dir):
    path = os.path.join(build_dir, "build.json")
    try:
        with open(path, encoding="utf-8") as description:
            return json.load(description)
    except OSError as error:
        raise DescriptionError(f"{build_dir} is not a built build: {path}: {error.strerror}") from error
    except json.JSONDecodeError as error:
        raise DescriptionError(f"{path}: not JSON, truncated? ({error})") from error


def command(description, program):
    """The command line that runs one of the build's programs, through the target's emulator when there is one."""
    try:
        path = description["programs"][program]
    except KeyError as error:
        raise DescriptionError(f"this build has no {program}") from error
    if not os.path.exists(path):
        raise DescriptionError(f"{path} is not built")
    return description["emulator"] + [path]


def describe_machine(build_dir):
    """What the build's machine_info says of the machine it runs on: its core, caches..."""
    command_words = command(load(build_dir), "machine_info")
    return json.loads(run_tool(command_words + ["show"]).stdout)


def kernel_names(description):
    """The kernels' names, in the table's order, from the description or from kernel_instructions' own report."""
    return [kernel["name"] for kernel in description["kernels"]]


def run(argv):
    if len(argv) != 3 or argv[1] not in ("command", "get"):
        print(__doc__, file=sys.stderr)
        return 2
    description = load(argv[0])
    if argv[1] == "command":
        print("\n".join(command(description, argv[2])))
    else:
        value = description
        for key in argv[2].split("."):
            if not isinstance(value, dict) or key not in value:
                raise DescriptionError(f"{argv[0]}/build.json has no {argv[2]}")
            value = value[key]
        print(value)
    return 0


if __name__ == "__main__":
    sys.exit(entry("build_description", run, sys.argv[1:]))
