"""scripts/common.sh: the packages each host installs, and how it installs them; a fuzzer that stops."""

import os
import subprocess
import tempfile
import unittest

from recorded import DATA


class Setup(unittest.TestCase):
    """scripts/common.sh: install_packages against a stub apt-get on PATH, as a mirror in mid-sync fails it;
    what an amd64, an arm64 and an armhf host choose to build and test, and install; and a stopped fuzzer."""

    COMMON = os.path.join(os.path.dirname(DATA), "..", "scripts", "common.sh")

    def test_each_host_architecture_chooses_its_presets_and_their_packages(self):
        """The host is its own Arm target; the other is cross-built where Debian has the compiler; every
        package installs the file it is checked by, as tests/data/packages/record found in Debian's own."""
        cases = {"amd64": ("host asan host-clang armv7 aarch64", "armv7 aarch64"),
                 "arm64": ("host asan host-clang armv7", "armv7 host"),
                 "armhf": ("host asan host-clang", "host ")}
        for arch, (tested, presets) in cases.items():
            with self.subTest(arch=arch):
                said = subprocess.run(["bash", "-c", f'. {self.COMMON}; echo "${{tested[*]}}"; '
                                       'echo "$(preset_for armv7) $(preset_for aarch64)"; '
                                       'for group in $(package_groups); do packages_for $group; done'],
                                      env=dict(os.environ, FIR_HOST_ARCH=arch), capture_output=True, text=True,
                                      check=True).stdout.splitlines()
                self.assertEqual(said[:2], [tested, presets])
                with open(os.path.join(DATA, "packages", f"{arch}.txt"), encoding="utf-8") as recorded_pairs:
                    checked = set(recorded_pairs.read().split())
                self.assertEqual(set(" ".join(said[2:]).split()) - checked, set())

    STUB = """#!/bin/sh
echo "$*" >>"$STUB_CALLS"
[ "$1" = update ] && { echo "E: Failed to fetch ...armhf/Packages.xz  File has unexpected size"; exit "$STUB_UPDATE"; }
for package; do
  [ "$package" = "$STUB_MISSING" ] && { echo "E: Unable to locate package $package"; exit 100; }
done
exit 0
"""

    def install(self, update_status, missing):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        for tool, text in (("apt-get", self.STUB), ("dpkg", "#!/bin/sh\n"), ("id", "#!/bin/sh\necho 0\n")):
            with open(os.path.join(scratch.name, tool), "w", encoding="utf-8") as stub:
                stub.write(text)
            os.chmod(os.path.join(scratch.name, tool), 0o755)
        calls = os.path.join(scratch.name, "calls")
        environment = dict(os.environ, PATH=f"{scratch.name}:{os.environ['PATH']}", STUB_CALLS=calls,
                           STUB_UPDATE=str(update_status), STUB_MISSING=missing)
        run = subprocess.run(["bash", "-c", f". {self.COMMON} && install_packages cmake hyperfine libbenchmark-dev:armhf"],
                             env=environment, capture_output=True, text=True, check=False)
        with open(calls, encoding="utf-8") as asked:
            return run, asked.read().splitlines()

    def test_a_failed_update_warns_and_a_missing_package_keeps_out_no_other(self):
        run, calls = self.install(100, "")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("warning: apt-get update failed", run.stderr)
        self.assertEqual(calls, ["update -qq", "install -y -qq cmake hyperfine libbenchmark-dev:armhf"])
        run, calls = self.install(0, "hyperfine")
        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(calls[-3:], ["install -y -qq cmake", "install -y -qq hyperfine",
                                      "install -y -qq libbenchmark-dev:armhf"])
        self.assertIn("apt-get could not install: hyperfine\nE: Unable to locate package hyperfine", run.stderr)

    def test_a_stopped_fuzzer_says_why_under_errexit(self):
        """scripts/fuzz runs under set -e: a fault that names no difference (LeakSanitizer under ptrace or
        qemu) must still print its lines and a reason, not end the script in silence."""
        cases = {"value 3 of the text: reader 1 extraction 2": "the reader and extraction differ",
                 "==1==LeakSanitizer has encountered a fatal error.": "libFuzzer stopped without finding a difference"}
        for printed, reason in cases.items():
            with self.subTest(reason=reason), tempfile.TemporaryDirectory() as scratch:
                run = subprocess.run(["bash", "-c", f'set -e; . {self.COMMON}; cd {scratch}; '
                                      f'program_command() {{ command=(sh -c "echo \'{printed}\'; exit 1"); }}; '
                                      'fuzz_reader 1; echo unreachable'], capture_output=True, text=True, check=False)
                self.assertEqual(run.returncode, 1)
                self.assertIn(printed, run.stderr)
                self.assertIn(f"fuzz: {reason}", run.stderr)




if __name__ == "__main__":
    unittest.main()
