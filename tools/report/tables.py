"""The text tables of scripts/run and scripts/bench, from the figures as plain data. Every table
shows a kernel's time through one cell, and every list of vector speed-ups through one sentence."""

from explain.mix_report import ratio_lines
from report.figures import NOISY_CV, mmacs, names, noisy, noisy_speedup, speedup


def timing_header(timings):
    return f"{'ms/call':>8} {'spread':>6} {'MMAC/s':>7} {'vs ' + names(timings)[0]:>7} "


def timing_cell(timings, kernel):
    """A kernel's time as every table shows it: median ms per call, spread, MMAC/s and speed-up over
    the reference, a noisy figure marked ~."""
    t = timings["kernels"][kernel]
    mark = "~" if noisy(timings, kernel) else " "
    speed_mark = "~" if noisy_speedup(timings, kernel) else " "
    return (f"{t['median']:8.2f} {100 * t['cv']:5.1f}%{mark}{mmacs(timings, kernel):7.0f} "
            f"{speedup(timings, kernel):6.2f}x{speed_mark}")


def spread_note(timings):
    return (f"Times are medians of {timings['repetitions']} repetitions; spread is their coefficient of variation. "
            f"~ marks a time spread over {100 * NOISY_CV:.0f}%, and a speed-up over {names(timings)[0]} "
            f"that rests on one.")


def timings_table(timings):
    lines = [f"  {'kernel':9} {timing_header(timings)}".rstrip()]
    lines += [f"  {kernel:9} {timing_cell(timings, kernel)}".rstrip() for kernel in names(timings)]
    return lines + [spread_note(timings)]


def run_profile_lines(figures):
    """scripts/run's profile: its title, the table, and what gprof's sampling means for it."""
    return (["Profile of that run (gprof, one call per kernel):"] + profile_table(figures) +
            ["gprof samples every 10 ms, so a kernel that takes a few milliseconds gets few samples, or none."])


def run_timings_lines(timings):
    """scripts/run's timings: their title and table."""
    return ["Precise timings of the same calls (Google Benchmark, same build without -pg):"] + timings_table(timings)


def profile_table(figures):
    """gprof's figures by kernel: self seconds, calls, share and speed-up over the reference."""
    kernels = list(figures)
    lines = [f"  {'kernel':9} {'self s':>8} {'calls':>6} {'share':>7} {'speed vs ' + kernels[0]:>13}"]
    for kernel, (seconds, calls, share, speed) in figures.items():
        share_text = f"{100 * share:6.1f}%" if share is not None else "    n/a"
        speed_text = f"{speed:12.2f}x" if speed is not None else "  (no sample)"
        lines.append(f"  {kernel:9} {seconds:8.2f} {calls:6d} {share_text:>7} {speed_text:>13}")
    return lines


def bench_table(o0, o2, mixes, program):
    kernels = names(o0)
    width = len(timing_cell(o0, kernels[0]))
    lines = [
        f"Kernels on fir_benchmark's run ({o0['outputs']} outputs x {o0['taps']} taps):",
        f"{'':9} {' -O0 (host) ':-^{width}}   {' -O2 (host-release) ':-^{width}}   instructions/MAC at -O0",
        f"{'kernel':9} " + f"{timing_header(o0)}   " * 2 + "".join(f"{mix['isa']:>8}" for mix in mixes),
    ]
    for kernel in kernels:
        counts = "".join(f"{mix['per_mac'][kernel]['total']:8.2f}" for mix in mixes)
        lines.append(f"{kernel:9} {timing_cell(o0, kernel)}   {timing_cell(o2, kernel)}   {counts}")
    lines += ratio_lines(mixes) + [spread_note(o0), "", "The whole program (unoptimised, on the sample data):"]
    lines.append(f"  wall {program['wall_median']:.3f} s (median of {program['runs']} runs, spread "
                 f"{100 * program['wall_cv']:.1f}%{', noisy' if program['wall_cv'] > NOISY_CV else ''}), "
                 f"peak resident memory {program['peak_kib']} KiB")
    total = program["instructions"]
    lines.append(f"  instructions: {100 * program['reading'] / total:.0f}% reading the two files "
                 f"({program['reading'] / program['values']:.0f} a value), "
                 f"{100 * program['kernels'] / total:.0f}% the kernels, "
                 f"{100 * (total - program['reading'] - program['kernels']) / total:.0f}% padding and scoring")
    return lines
