"""The docs' quoted regions, and the figures their prose must not carry unquoted. A region is written from
a record by its source (sources.py), between two markers that Markdown does not show:

    <!-- begin NAME -->            a block: the lines up to its end marker
    <!-- end NAME -->
    <!-- =NAME -->text<!-- /= -->  a figure in a sentence

Outside the regions, code blocks and code spans, a decimal number or a percentage in prose is a figure
that no record backs, unless it names a version (Linux 6.6, Debian 12)."""

import re

BLOCK = re.compile(r"(<!-- begin (\S+) -->\n)(.*?)(<!-- end \2 -->)", re.S)
FIGURE = re.compile(r"(<!-- =(\S+) -->)(.*?)(<!-- /= -->)", re.S)
# What prose may not carry: a decimal or a percentage.
UNQUOTED = re.compile(r"(?<![\w.])(\d+\.\d+|\d+(?:\.\d+)?%)(?![\w.])")
# A version, not a figure: the word before it names what it is a version of.
VERSION = re.compile(r"(Linux|Debian|GCC|gcc|qemu|QEMU|Python|kernel|kernels|version|v|ARMv|NEON|Valgrind|"
                     r"CMake|apt|glibc|Pi|[Aa]rmv)\s*$")
CODE = re.compile(r"```.*?```|`[^`\n]*`", re.S)


def names(text):
    """The names of every region in a document, blocks and figures, in order."""
    return [match.group(2) for match in BLOCK.finditer(text)] + [match.group(2) for match in FIGURE.finditer(text)]


def rewritten(text, write):
    """The document with every region rewritten by write(name), a block's text ending in a newline; one for
    which write gives None is left as it is."""
    def block(match):
        now = write(match.group(2))
        return match.group(0) if now is None else match.group(1) + now.rstrip("\n") + "\n" + match.group(4)

    def figure(match):
        now = write(match.group(2))
        return match.group(0) if now is None else match.group(1) + now + match.group(4)

    return FIGURE.sub(figure, BLOCK.sub(block, text))


def unquoted(text):
    """[(line number, figure)] of the figures in prose that no region holds."""
    blank = CODE.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)
    blank = BLOCK.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), blank)
    blank = FIGURE.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), blank)
    blank = re.sub(r"<!--.*?-->", lambda m: re.sub(r"[^\n]", " ", m.group(0)), blank, flags=re.S)
    found = []
    for match in UNQUOTED.finditer(blank):
        if not VERSION.search(blank[max(0, match.start() - 12):match.start()]):
            found.append((blank.count("\n", 0, match.start()) + 1, match.group(1)))
    return found
