"""scripts/explain: where each kernel's instructions go, counted under callgrind or qemu and matched to the
disassembly, and why the compiler does not write fir_neon itself."""
