"""The names of the files in a board's results folder, from their one home, bench/results_files.json,
which the board's programs are built from too: {role: name}, such as {"timings": "timings.json"}.

    result_files.py ROLE    the name of one, for the scripts
"""

import json
import sys

from shared import checkout

HOME = checkout.path("bench", "results_files.json")

with open(HOME, encoding="utf-8") as _home:
    # {role: {"name": ..., "written_by": ...}}, as the home has it.
    ENTRIES = json.load(_home)
FILES = {role: entry["name"] for role, entry in ENTRIES.items()}

if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] not in FILES:
        print(f"usage: result_files.py {'|'.join(FILES)}", file=sys.stderr)
        sys.exit(2)
    print(FILES[sys.argv[1]])
