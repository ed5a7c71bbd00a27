#!/usr/bin/env bash
# program_build_test.sh OBJDUMP PROGRAM HOOK VECTOR_OP [READELF]: checks the
# built program rather than its behaviour. Each kernel must call the profiling
# hook on entry (or gprof cannot attribute its time), and fir_neon must contain
# the target's vector multiply (or it silently fell back to scalar code). With
# READELF, the program must also pass floats in VFP registers (hard-float).
set -euo pipefail
objdump=$1 program=$2 hook=$3 vector_op=$4 readelf=${5:-}

disassembly=$("$objdump" -d --no-show-raw-insn -C "$program")
body() { awk -v f="<$1(" 'index($0, f) && /^[0-9a-f]+ </ { on = 1; next } on && /^$/ { exit } on' <<<"$disassembly"; }

status=0
for kernel in fir fir_opt fir_neon; do
  if ! grep -q "<$hook" <<<"$(body "$kernel")"; then
    echo "$kernel does not call $hook"
    status=1
  fi
done
if ! grep -qE "$vector_op" <<<"$(body fir_neon)"; then
  echo "fir_neon has no $vector_op"
  status=1
fi
if [ -n "$readelf" ] && ! grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$("$readelf" -A "$program")"; then
  echo "$program is not hard-float"
  status=1
fi
[ $status -eq 0 ] && echo "every kernel calls $hook; fir_neon uses $vector_op"
exit $status
