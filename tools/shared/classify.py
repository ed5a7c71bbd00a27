"""Sorts one instruction of a target into the categories every table and chart shows, and names the
floating-point operation it performs, which the arithmetic check counts."""

import re

# (key, label), in the order they are shown and stacked.
CATEGORIES = (
    ("memory", "loads/stores"),
    ("scalar", "scalar float arithmetic"),
    ("vector", "vector float arithmetic"),
    ("moves", "vector moves and broadcasts"),
    ("integer", "integer and address arithmetic"),
    ("branch", "compares and branches"),
    ("call", "calls and returns"),
    ("nop", "no-ops"),
)
LABELS = dict(CATEGORIES)

# Each classifier: (mnemonic, operands) -> (category, op), where op is "mul", "add" or "mla" for
# floating-point multiplies, adds and (unfused) multiply-accumulates, and None for anything else.

X86_FLOAT_OPS = {"mul": "mul", "add": "add", "sub": "add", "div": None, "sqrt": None, "min": None, "max": None}


def classify_x86(mnemonic, operands):
    if mnemonic.startswith(("call", "ret")) or mnemonic == "leave":
        return "call", None
    if mnemonic.startswith("j") or mnemonic.startswith(("cmp", "test", "ucomis", "comis")):
        return "branch", None
    if mnemonic.startswith("nop") or mnemonic in ("xchg", "data16", "cs"):
        return "nop", None
    if mnemonic in ("push", "pop"):
        return "memory", None
    if mnemonic.startswith("mov") and "(" in operands:
        return "memory", None
    match = re.fullmatch(r"(mul|add|sub|div|sqrt|min|max)(ss|sd|ps|pd)", mnemonic)
    if match:
        return ("scalar" if match.group(2) in ("ss", "sd") else "vector"), X86_FLOAT_OPS[match.group(1)]
    if mnemonic.startswith("cvt"):
        return "scalar", None
    if "%xmm" in operands:
        return "moves", None
    return "integer", None


ARM_CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
ARM_FLOAT_OPS = {"vmul": "mul", "vadd": "add", "vsub": "add", "vmla": "mla", "vmls": "mla"}


def classify_arm(mnemonic, operands):
    base = mnemonic.split(".")[0]
    if base in ("bl", "blx") or (base == "bx" and operands.strip() == "lr"):
        return "call", None
    if re.fullmatch(rf"b({ARM_CONDITIONS})?|cbn?z|cmp|cmn|tst|teq|vcmp|vcmpe|vmrs", base):
        return "branch", None
    if base == "nop":
        return "nop", None
    if re.match(r"(v?ld|v?st|push|pop|vpush|vpop)", base):
        return "memory", None
    if base in ARM_FLOAT_OPS or base in ("vdiv", "vneg", "vabs", "vsqrt", "vcvt", "vfma", "vfms"):
        vector = re.search(r"\bq\d+", operands) or (".f32" in mnemonic and re.search(r"\bd\d+", operands))
        return ("vector" if vector else "scalar"), ARM_FLOAT_OPS.get(base)
    if base.startswith("v"):
        return "moves", None
    return "integer", None


AARCH64_FLOAT_OPS = {"fmul": "mul", "fadd": "add", "fsub": "add", "fmla": "mla", "fmls": "mla"}


def classify_aarch64(mnemonic, operands):
    base = mnemonic.split(".")[0]
    if base in ("bl", "blr", "ret"):
        return "call", None
    if base in ("b", "br", "cbz", "cbnz", "tbz", "tbnz", "cmp", "cmn", "tst", "ccmp", "fcmp", "fcmpe"):
        return "branch", None
    if base == "nop":
        return "nop", None
    if re.match(r"(ld|st)", base):
        return "memory", None
    vector = re.search(r"\bv\d+\.", operands)
    if base in AARCH64_FLOAT_OPS or base in ("fdiv", "fneg", "fabs", "fsqrt", "fmadd", "fmsub") or \
            base.startswith(("scvtf", "ucvtf", "fcvt")):
        return ("vector" if vector else "scalar"), AARCH64_FLOAT_OPS.get(base)
    if vector or base in ("dup", "ins", "umov", "movi", "fmov", "ext", "zip1", "zip2"):
        return "moves", None
    return "integer", None

