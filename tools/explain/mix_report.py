"""scripts/explain's text: each kernel's instructions per multiply-add by category, its innermost loop
instruction by instruction, and the lesson in one line a kernel; and scripts/run's one-line summary."""

from shared.classify import CATEGORIES, LABELS
from explain.counts import hot_loop, vector_ratios


def per_mac(count, macs):
    """How often an instruction runs per multiply-add: 1, 1/4, 1/32, or a decimal."""
    if count and macs % count == 0:
        return "1" if count == macs else f"1/{macs // count}"
    if count % macs == 0:
        return str(count // macs)
    return f"{count / macs:.3f}"


def in_short(kernel, summary):
    """One kernel's arithmetic, loads and stores and instructions per multiply-add, in a line."""
    ops = summary["ops"]
    names = {"scalar mul": "scalar multiplies", "scalar add": "scalar adds", "scalar mla":
             "scalar multiply-accumulates", "vector mla": "vector multiply-accumulates", "vector mul":
             "vector multiplies", "vector add": "vector adds"}
    arithmetic = [f"{ops[op]:.2f} {name}" for op, name in names.items() if ops.get(op)]
    return (f"{kernel}: {', '.join(arithmetic) or 'no float arithmetic'} and {summary['categories']['memory']:.2f} "
            f"loads/stores per multiply-add, {summary['total']:.2f} instructions in all")


def explain(measured, summaries):
    """scripts/explain's lines for one target's counts."""
    macs = measured["outputs"] * measured["taps"]
    names = [kernel["name"] for kernel in measured["kernels"]]
    lines = [f"Instructions per multiply-add on {measured['isa']} at {measured['optimisation']}, counted by "
             f"{measured['method']} "
             f"over one call of each kernel ({measured['outputs']} outputs x {measured['taps']} taps):",
             f"  {'':32}" + "".join(f"{kernel:>10}" for kernel in names)]
    for key, label in CATEGORIES:
        lines.append(f"  {label:32}" + "".join(f"{summaries[k]['categories'][key]:10.2f}" for k in names))
    lines.append(f"  {'total':32}" + "".join(f"{summaries[k]['total']:10.2f}" for k in names))

    for kernel in names:
        loop = hot_loop(measured["rows"][kernel])
        share = sum(row[3] for row in loop) / macs
        lines += ["", f"{kernel}'s innermost loop: {len(loop)} instructions, {share:.2f} of its "
                      f"{summaries[kernel]['total']:.2f} instructions per multiply-add.",
                  f"  {'address':>8}  {'instruction':44} {'per MAC':>8}  category"]
        for address, mnemonic, operands, count, category, _ in loop:
            text = f"{mnemonic} {operands}".strip()
            lines.append(f"  {address:8x}  {text:44} {per_mac(count, macs):>8}  {LABELS[category]}")

    lines += ["", "In short:"] + ["  " + in_short(kernel, summaries[kernel]) for kernel in names]
    lines += ["  " + line for line in ratio_lines([as_json(measured, summaries)], name_targets=False)]
    return lines + ["  " + vectorised_line(kernel, measured["rows"][kernel["name"]]) for kernel in measured["kernels"]]


def vectorised_line(kernel, rows):
    """Whether a kernel's innermost loop does its arithmetic in vectors, and who put them there."""
    vector = any(row[4] == "vector" for row in hot_loop(rows))
    if kernel["lanes"] > 1:
        return f"{kernel['name']}: written with vectors" + ("" if vector else ", yet its innermost loop has none")
    return f"{kernel['name']}: " + ("vectorised by the compiler" if vector else
                                    "not vectorised: its innermost loop does scalar arithmetic")


def as_json(measured, summaries):
    """What scripts/bench keeps of a target's counts."""
    return {"isa": measured["isa"], "method": measured["method"], "kernels": measured["kernels"],
            "outputs": measured["outputs"], "taps": measured["taps"], "per_mac": summaries}


def summary_line(measured, summaries):
    figures = ", ".join(f"{kernel['name']} {summaries[kernel['name']]['total']:.2f}" for kernel in measured["kernels"])
    return "; ".join([f"  {measured['isa']}, counted by {measured['method']}: {figures}"] +
                     ratio_lines([as_json(measured, summaries)], name_targets=False))


def ratio_sentence(reference, ratios, what="instructions per multiply-add"):
    """"fir_neon executes 1/4.44 of fir's WHAT on x86-64, 1/4.41 on ARMv7 and 1/6.10 on AArch64.", from
    [(ratio, where)], where being None where only one target is meant."""
    (first, where), rest = ratios[0], [f"1/{ratio:.2f} on {isa}" for ratio, isa in ratios[1:]]
    listed = f"1/{first:.2f} of {reference}'s {what}" + (f" on {where}" if where else "")
    if rest:
        listed = ", ".join([listed] + rest[:-1]) + " and " + rest[-1]
    return listed + "."


def ratio_lines(mixes, name_targets=True):
    """One sentence a vector kernel: how many times fewer instructions it runs than the reference, on
    each target counted (mixes: instruction counts as scripts/bench keeps them)."""
    by_kernel = {}
    for mix in mixes:
        for name, ratio in vector_ratios(mix["kernels"], mix["per_mac"]):
            by_kernel.setdefault(name, []).append((ratio, mix["isa"] if name_targets else None))
    reference = mixes[0]["kernels"][0]["name"]
    return [f"{name} executes {ratio_sentence(reference, ratios)}" for name, ratios in by_kernel.items()]
