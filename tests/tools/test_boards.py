"""The boards' host side: the results block cut out of an emulated board's console and checked, a board that
hangs or overruns, the time a run is allowed, the cache of Debian's packages that the boards boot, as
lists move on, the network goes, runs are killed and two start at once; and what scripts/board makes of a
board's machine, of this shell's settings and of ssh's last words."""

import base64
import gzip
import hashlib
import io
import json
import os
import subprocess
import tarfile
import tempfile
import threading
import unittest
from unittest import mock

from boards import board, console, cores, debian, guest, incoming, scratch, ssh, vm
from shared.cli import ToolError

MARK = "fir-results-0123"


def results_tar(*names, link=None):
    """A gzipped tar of one results folder with one file, or of the files named, and a symbolic link."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w") as archive:
        for name in names or ["results-qemu-2026-12-10/report.txt"]:
            info = tarfile.TarInfo(name)
            info.size = 6
            archive.addfile(info, io.BytesIO(b"RMSE\n\n"))
        if link:
            info = tarfile.TarInfo(link)
            info.type, info.linkname = tarfile.SYMTYPE, "/etc"
            archive.addfile(info)
    return gzip.compress(data.getvalue())


def console_lines(data, status=0, before="Results in /work/results-qemu."):
    """What board/vm-init writes: the run's last line without its end, the marks, base64 of 76 a line."""
    encoded = base64.b64encode(data).decode()
    lines = [f"{before}{MARK} status {status}", f"{MARK} results {len(data)} {hashlib.sha256(data).hexdigest()}"]
    return lines + [encoded[i:i + 76] for i in range(0, len(encoded), 76)] + [f"{MARK} end"]


class ResultsBlock(unittest.TestCase):
    def test_the_block_is_framed_and_checked_whole(self):
        data = results_tar()
        whole = console_lines(data)
        body = whole[2:-1]
        spoilt = body[0][:10] + ("B" if body[0][10] != "B" else "C") + body[0][11:]
        cases = [
            ("whole", whole, data, None),
            ("a kernel line inside", whole[:3] + ["[   12.3] random: crng init done"] + whole[3:], data, None),
            ("cut short", whole[:-2], None, "cut short: "),
            ("a letter changed", whole[:2] + [spoilt] + body[1:] + whole[-1:], None, "are damaged: "),
            ("a line lost", whole[:2] + body[1:] + whole[-1:], None, "are damaged: "),
            ("padding inside", whole[:2] + ["QQ==", *body] + whole[-1:], None, "not base64"),
        ]
        for name, lines, expected, problem in cases:
            with self.subTest(name):
                reading = console.Console(MARK)
                shown = [text for text in map(reading.feed, lines) if text is not None]
                self.assertEqual(reading.status, 0)
                self.assertEqual(shown[0], "Results in /work/results-qemu.")
                if problem:
                    with self.assertRaisesRegex(ToolError, problem):
                        reading.results()
                else:
                    self.assertEqual(reading.results(), expected)
                    self.assertNotIn(MARK, " ".join(shown))

    def test_results_unpack_only_as_one_folder_of_plain_files_and_are_kept_beside_earlier_ones(self):
        """The tar is another machine's: nothing in it may land outside the folder it names."""
        inside = "results-pi-2026-12-10/report.txt"
        with tempfile.TemporaryDirectory() as work:
            staging, out = os.path.join(work, "a", "staging"), os.path.join(work, "out")
            cases = [("a path out of it", [inside, "results-pi-2026-12-10/../../escaped"], None, "not a plain file"),
                     ("an absolute path", [inside, f"{work}/escaped"], None, "not a plain file"),
                     ("a symbolic link", [inside], "results-pi-2026-12-10/etc", "not a plain file"),
                     ("two folders", [inside, "results-pc-2026-12-10/report.txt"], None, "not one folder"),
                     ("not a tar", None, None, "do not unpack")]
            for name, names, link, problem in cases:
                with self.subTest(name):
                    data = results_tar(*names, link=link) if names else b"not a tar"
                    with self.assertRaisesRegex(ToolError, problem):
                        incoming.unpacked(data, staging)
            self.assertEqual(os.listdir(work), [])
            kept = [incoming.kept(incoming.unpacked(results_tar(inside), staging), out) for _ in range(2)]
            self.assertEqual([os.path.basename(path) for path in kept],
                             ["results-pi-2026-12-10", "results-pi-2026-12-10-2"])
            self.assertTrue(os.path.isfile(os.path.join(kept[1], "report.txt")))

    def test_a_run_that_made_no_folder_says_so(self):
        reading = console.Console(MARK)
        for line in (f"{MARK} status 1", f"{MARK} none"):
            reading.feed(line)
        self.assertTrue(reading.finished)
        self.assertEqual((reading.status, reading.results()), (1, None))


class Board(unittest.TestCase):
    """boot() on a stand-in for qemu: a script that prints a console and then does as a board might."""

    def boot(self, lines, then, timeout=30):
        with tempfile.TemporaryDirectory() as work:
            script = os.path.join(work, "board")
            with open(script, "w", encoding="utf-8") as stand_in:
                stand_in.write("#!/bin/sh\n" + "".join(f"echo '{line}'\n" for line in lines) + then + "\n")
            os.chmod(script, 0o755)
            with mock.patch.object(console, "GRACE", 0.5), mock.patch("sys.stdout", io.StringIO()):
                return console.boot([script], timeout, MARK)

    def test_results_are_kept_when_the_board_then_hangs(self):
        data = results_tar()
        self.assertEqual(self.boot(console_lines(data), "exec sleep 60"), (0, data))

    def test_a_board_that_overruns_is_stopped_with_one_line(self):
        with self.assertRaisesRegex(ToolError, r"did not finish within 1 s \(--timeout allows more\)"):
            self.boot(["booting"], "exec sleep 60", timeout=1)

    def test_the_time_allowed_follows_the_work_asked(self):
        def allowed(core, **settings):
            return guest.time_allowed(cores.CORES[core], dict({"FIR_REPETITIONS": "3"}, **settings))
        self.assertGreater(allowed("cortex-a7", FIR_REPETITIONS="20"), allowed("cortex-a7"))
        self.assertGreater(allowed("cortex-a7", FIR_SWEEP="1"), allowed("cortex-a7") + 600)
        self.assertGreater(allowed("big-little"), allowed("cortex-a7"))
        self.assertEqual(allowed("big-little", FIR_CPU="1"), allowed("cortex-a7"))
        with mock.patch.dict(os.environ, {"FIR_REPETITIONS": "", "FIR_CPU": ""}):
            self.assertEqual(guest.guest_settings(MARK, "cortex-a7", False, None)["FIR_REPETITIONS"], guest.REPETITIONS)

    def test_a_missing_qemu_is_one_line(self):
        with tempfile.TemporaryDirectory() as build:
            bundle = os.path.join(build, "bundle.tar.gz")
            open(bundle, "wb").close()
            with open(os.path.join(build, "build.json"), "w", encoding="utf-8") as description:
                json.dump({"isa": "AArch64", "bundle": bundle}, description)
            with mock.patch.dict(os.environ, {"PATH": build}):
                with self.assertRaisesRegex(ToolError, "qemu-system-aarch64 is not installed"):
                    vm.run(build, "cortex-a53")


def stub(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as program:
        program.write("#!/bin/sh\n" + text)
    os.chmod(path, 0o755)


class Cache(unittest.TestCase):
    """debian.py against stand-ins for apt-cache and apt-get on PATH, and a .deb made here."""

    def setUp(self):
        scratch_folder = tempfile.TemporaryDirectory()
        self.addCleanup(scratch_folder.cleanup)
        self.work = scratch_folder.name
        self.cache = os.path.join(self.work, "cache")
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        deb = os.path.join(self.work, "deb")
        os.makedirs(os.path.join(deb, "DEBIAN"))
        os.makedirs(os.path.join(deb, "boot"))
        with open(os.path.join(deb, "DEBIAN", "control"), "w", encoding="utf-8") as control:
            control.write("Package: linux-image-6.1.0-57-armmp\nVersion: 1\nArchitecture: armhf\n"
                          "Maintainer: a <a@b>\nDescription: a kernel\n")
        with open(os.path.join(deb, "boot", "vmlinuz-6.1.0-57-armmp"), "w", encoding="utf-8") as kernel:
            kernel.write("a kernel")
        subprocess.run(["dpkg-deb", "--build", "-Zgzip", deb, os.path.join(self.work, "kernel.deb")], check=True,
                       capture_output=True)
        self.downloads = os.path.join(self.work, "downloads")
        stub(self.bin, "apt-cache", 'echo "  Depends: linux-image-6.1.0-57-armmp:armhf"\n')
        stub(self.bin, "apt-get", f'echo x >>{self.downloads}; sleep 0.3; [ -z "$OFFLINE" ] || '
                                  f'{{ echo "E: Failed to fetch" >&2; exit 100; }}; cp {self.work}/kernel.deb .\n')
        patcher = mock.patch.dict(os.environ, {"PATH": f"{self.bin}:{os.environ['PATH']}", "OFFLINE": ""})
        patcher.start()
        self.addCleanup(patcher.stop)

    def kernel(self):
        return debian.kernel("armmp", "armhf", r"/vmlinuz-", self.cache)

    def downloaded(self):
        with open(self.downloads, encoding="utf-8") as counted:
            return len(counted.read().split())

    def test_two_first_fetches_at_once_fetch_once(self):
        found = []
        threads = [threading.Thread(target=lambda: found.append(self.kernel())) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual([package for package, _, _ in found], ["linux-image-6.1.0-57-armmp"] * 2)
        self.assertEqual(self.downloaded(), 1)
        self.assertEqual(list(found[0][1]), ["vmlinuz-6.1.0-57-armmp"])

    def test_a_cached_kernel_serves_when_the_lists_move_on_or_the_network_is_away(self):
        self.kernel()
        stub(self.bin, "apt-cache", 'echo "  Depends: linux-image-6.1.0-58-armmp:armhf"\n')
        os.environ["OFFLINE"] = "1"
        package, files, note = self.kernel()
        self.assertEqual(package, "linux-image-6.1.0-57-armmp")
        self.assertIn("the cached one, since apt-get download linux-image-6.1.0-58-armmp:armhf failed", note)
        self.assertTrue(os.path.exists(files["vmlinuz-6.1.0-57-armmp"]))
        stub(self.bin, "apt-cache", "exit 100\n")
        self.assertEqual(self.kernel()[0], "linux-image-6.1.0-57-armmp")
        with self.assertRaisesRegex(ToolError, "apt-cache depends linux-image-armmp:armhf failed"):
            debian.kernel("armmp", "armhf", r"/vmlinuz-", os.path.join(self.work, "empty"))

    def test_what_killed_runs_and_fetches_left_goes_at_the_next_start(self):
        child = subprocess.Popen(["true"])
        child.wait()
        killed = [f"{debian.FETCHING}abc", f"{scratch.PREFIX}{child.pid}-xyz"]
        running = f"{scratch.PREFIX}{os.getpid()}-mine"
        for name in killed + [running]:
            os.makedirs(os.path.join(self.cache, name))
        self.kernel()
        with scratch.scratch(self.cache) as work:
            left = set(os.listdir(self.cache))
            self.assertEqual(left & set(killed), set())
            self.assertIn(running, left)
            self.assertIn(os.path.basename(work), left)
        self.assertNotIn(os.path.basename(work), os.listdir(self.cache))


class OverSsh(unittest.TestCase):
    def test_each_machine_gets_its_bundle_or_one_line(self):
        for machine, forced, target in (("armv7l", None, "armv7"), ("armv8l", None, "armv7"),
                                        ("aarch64", None, "aarch64"), ("aarch64", "armv7", "armv7")):
            self.assertEqual(board.target_of(machine, forced), target)
        for machine in ("armv6l", "mips", "riscv64"):
            with self.assertRaisesRegex(ssh.BoardError, f"no bundle for its machine, {machine} "):
                board.target_of(machine, None)

    def test_the_shells_settings_go_to_the_run_and_odd_ones_are_refused(self):
        with mock.patch.dict(os.environ, {"FIR_CPU": "4", "FIR_REPETITIONS": "", "FIR_SWEEP": "1"}):
            self.assertEqual(board.settings(), ["FIR_CPU=4", "FIR_SWEEP=1"])
        with mock.patch.dict(os.environ, {"FIR_CPU": "4; rm -rf ~"}), self.assertRaisesRegex(ToolError, "FIR_CPU="):
            board.settings()
        # ssh would take a missing config for a dropped connection, board by board.
        with self.assertRaisesRegex(ToolError, "^--ssh-config /no/such/config: no such file$"):
            board.run(["--ssh-config", "/no/such/config", "pi"])

    def test_what_ssh_says_is_one_line_of_what_it_means(self):
        cases = [
            ("user@pi: Permission denied (publickey,password).\n", "refused the login: user@pi: Permission denied"),
            ("ssh: Could not resolve hostname pi4: Name or service not known\n", "cannot be reached: ssh: Could not"),
            ("ssh: connect to host 10.0.0.9 port 22: No route to host\n", "cannot be reached: "),
            ("Host key verification failed.\n", "its host key is not the one known here"),
            ("Timeout, server pi not responding.\n", "the connection dropped: Timeout, server pi not responding"),
            ("", "the connection dropped: ssh said nothing"),
        ]
        for said, meant in cases:
            with self.subTest(said=said):
                self.assertTrue(ssh.why(said).startswith(meant), ssh.why(said))
                self.assertNotIn("\n", ssh.why(said))


if __name__ == "__main__":
    unittest.main()
