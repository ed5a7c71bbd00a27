"""Where this checkout is, for the tools that read or write its own files: build/, board/, bench/."""

import os

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def path(*parts):
    return os.path.join(ROOT, *parts)
