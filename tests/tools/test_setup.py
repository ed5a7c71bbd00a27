"""scripts/common.sh: the packages each host installs, and how it installs them; a fuzzer that stops; a
revision built for a comparison; and a background load that ends with its script."""

import os
import signal
import subprocess
import tempfile
import time
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
[ "$(wc -l <"$STUB_CALLS")" -gt "$STUB_LOCKED" ] ||
  { echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 7141 (unattended-upgr)"; exit 100; }
[ "$1" = update ] && { echo "E: Failed to fetch ...armhf/Packages.xz  File has unexpected size"; exit "$STUB_UPDATE"; }
for package; do
  [ "$package" = "$STUB_MISSING" ] && { echo "E: Unable to locate package $package"; exit 100; }
done
exit 0
"""

    def install(self, update_status, missing, locked=0):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        for tool, text in (("apt-get", self.STUB), ("dpkg", "#!/bin/sh\n"), ("id", "#!/bin/sh\necho 0\n")):
            with open(os.path.join(scratch.name, tool), "w", encoding="utf-8") as stub:
                stub.write(text)
            os.chmod(os.path.join(scratch.name, tool), 0o755)
        calls = os.path.join(scratch.name, "calls")
        environment = dict(os.environ, PATH=f"{scratch.name}:{os.environ['PATH']}", STUB_CALLS=calls,
                           STUB_UPDATE=str(update_status), STUB_MISSING=missing, STUB_LOCKED=str(locked))
        run = subprocess.run(["bash", "-c", f". {self.COMMON} && apt_lock_pause=0 && "
                              "install_packages cmake hyperfine libbenchmark-dev:armhf"],
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

    def test_a_package_manager_busy_elsewhere_is_waited_for(self):
        run, calls = self.install(0, "", locked=3)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(calls, ["update -qq"] * 4 + ["install -y -qq cmake hyperfine libbenchmark-dev:armhf"])
        self.assertEqual(run.stderr.count("waiting up to 15 minutes for another package manager: Could not get lock "
                                          "/var/lib/dpkg/lock-frontend. It is held by process 7141 (unattended-upgr)\n"),
                         1, run.stderr)

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




class Scripts(unittest.TestCase):
    """What scripts/compare and scripts/compare-rates leave behind them: builds only finished ones count, no
    worktree, no load."""

    COMMON = Setup.COMMON

    def bash(self, script, cwd, **environment):
        return subprocess.run(["bash", "-c", f". {self.COMMON}; {script}"], cwd=cwd, capture_output=True, text=True,
                              check=False, env=dict(os.environ, **environment))

    def test_a_revision_counts_as_built_only_when_its_build_finished(self):
        """A stub build that fails, or is cut short after CMake wrote build.json, is made again; one that
        finished is not; and no worktree stays registered, whatever happened."""
        with tempfile.TemporaryDirectory() as repo:
            for command in (["git", "init", "-q"], ["git", "commit", "-q", "--allow-empty", "-m", "one"]):
                subprocess.run(command, cwd=repo, check=True, capture_output=True,
                               env=dict(os.environ, GIT_AUTHOR_NAME="a", GIT_AUTHOR_EMAIL="a@b",
                                        GIT_COMMITTER_NAME="a", GIT_COMMITTER_EMAIL="a@b"))
            stub = ('build_preset() { echo built >>"$CALLS"; mkdir -p "$2"; echo "{}" >"$2/build.json"; '
                    '[ -z "$FAIL" ]; }; build_revision HEAD host')
            calls = os.path.join(repo, "calls")
            cases = [({"FAIL": "1"}, 1, 1), ({"FAIL": ""}, 0, 2), ({"FAIL": ""}, 0, 2)]
            for environment, status, builds in cases:
                with self.subTest(**environment, builds=builds):
                    run = self.bash(stub, repo, CALLS=calls, **environment)
                    self.assertEqual(run.returncode, status, run.stderr)
                    with open(calls, encoding="utf-8") as made:
                        self.assertEqual(len(made.read().split()), builds)
                    worktrees = subprocess.run(["git", "worktree", "list", "--porcelain"], cwd=repo, check=True,
                                               capture_output=True, text=True).stdout
                    self.assertEqual(worktrees.count("worktree "), 1, worktrees)
            self.assertTrue(run.stdout.strip().endswith("-host/build"), run.stdout)

    def test_bad_words_are_refused_before_anything_is_built(self):
        """A fresh clone has nothing built: a word that a script would refuse after minutes of building is
        refused first, with its reason, and CMake (a stub here) is never called."""
        scripts = os.path.dirname(self.COMMON)
        cases = [(["compare", "--rounds", "0", "HEAD", "HEAD"], 2, "--rounds: 0 is not from 1"),
                 (["compare", "--smallest-effect", "x", "HEAD", "HEAD"], 2, "invalid float value: 'x'"),
                 (["vm", "armv7", "cortex-z1"], 1, "cortex-z1: not an emulated core of ARMv7"),
                 (["vm", "aarch64", "--timeout", "0"], 2, "--timeout: 0 is not from 1")]
        with tempfile.TemporaryDirectory() as stubs:
            calls = os.path.join(stubs, "calls")
            with open(os.path.join(stubs, "cmake"), "w", encoding="utf-8") as stub:
                stub.write(f'#!/bin/sh\necho "$*" >>{calls}\n')
            os.chmod(os.path.join(stubs, "cmake"), 0o755)
            for words, status, reason in cases:
                with self.subTest(words=words):
                    run = subprocess.run([os.path.join(scripts, words[0]), *words[1:]], capture_output=True,
                                         text=True, check=False,
                                         env=dict(os.environ, PATH=f"{stubs}:{os.environ['PATH']}"))
                    self.assertEqual(run.returncode, status, run.stderr)
                    self.assertIn(reason, run.stderr)
            self.assertFalse(os.path.exists(calls))

    def test_a_background_load_ends_with_its_script(self):
        """Its children too, whether the script ends, or is interrupted."""
        for ending in ("exit 0", "kill -INT $$; sleep 5"):
            with self.subTest(ending=ending), tempfile.TemporaryDirectory() as work:
                self.bash('in_background bash -c "sleep 60 & echo \\$! >>pids; sleep 60 & echo \\$! >>pids; wait" '
                          f'>/dev/null 2>&1; sleep 0.5; {ending}', work)
                with open(os.path.join(work, "pids"), encoding="utf-8") as started:
                    pids = [int(pid) for pid in started.read().split()]
                self.assertEqual(len(pids), 2)
                for _ in range(50):
                    alive = [pid for pid in pids if os.path.exists(f"/proc/{pid}") and not zombie(pid)]
                    if not alive:
                        break
                    time.sleep(0.1)
                else:
                    for pid in alive:
                        os.kill(pid, signal.SIGKILL)
                    self.fail(f"the load's {alive} outlived its script")


def zombie(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as stat:
            return stat.read().split(") ")[1].startswith("Z")
    except OSError:
        return True


if __name__ == "__main__":
    unittest.main()
