"""The cross-board table as text, and the one way every view writes a figure: n/a where it was not
measured, never 0."""

from store.views import columns, kernels_of

FORMATS = {"ms_o0": "{:.2f}", "ms_o2": "{:.2f}", "speedup_o0": "{:.2f}x", "speedup_o2": "{:.2f}x",
           "instructions_per_mac": "{:.2f}", "cycles_per_mac": "{:.2f}", "ipc": "{:.2f}", "mhz": "{:.0f}"}
WIDTH = 8
EMULATED = ("Emulated boards (qemu): their instruction counts carry over to silicon; their times, cycles, IPC "
            "and MHz are the emulator's.")


def cell(figure, value):
    return "n/a" if value is None else FORMATS[figure].format(value)


def board_name(row):
    return f"{row['label']}, {row['core']} (CPU {row['cpu']})"


def table_lines(found):
    """The table: a row a board and kind of core, silicon first, then the emulated boards under a line that
    says what their figures are."""
    if not found:
        return ["No run in the database matches."]
    legend = ("ms: time per call; x: speed-up over the first kernel; ins/MAC and cyc/MAC: instructions and cycles "
              "per multiply-add; MHz: the effective clock.")
    kernels = kernels_of(found)
    shown = columns(kernels)
    names = [board_name(row) for row in found]
    first = max(len(name) for name in names + ["board, core (CPU)"])
    spans = {kernel: sum(WIDTH for column in shown if column[0] == kernel) for kernel in kernels}
    lines = [f"{'':{first}} {'':8} {'':10} " + "".join(f"{kernel:-^{spans[kernel]}}" for kernel in kernels),
             f"{'board, core (CPU)':{first}} {'target':8} {'taken':10} " +
             "".join(f"{heading:>{WIDTH}}" for _, _, heading in shown) + "  flags"]
    emulated_yet = False
    for name, row in zip(names, found):
        if row["emulated"] and not emulated_yet:
            lines.append(EMULATED)
            emulated_yet = True
        cells = "".join(f"{cell(figure, row['kernels'].get(kernel, {}).get(figure)):>{WIDTH}}"
                        for kernel, figure, _ in shown)
        lines.append(f"{name:{first}} {row['isa']:8} {row['taken']:10} {cells}  {', '.join(row['flags']) or '-'}")
    return lines + [legend]
