"""The unpacking run under Wine: dialog, status texts, progress positions,
files written, every failure's exact text, exit status 0 on every path."""
import os
import zlib

from harness import (ANOTHER_INSTANCE, FOLDER, LAUNCHER, TEST_WIN_DIR, LauncherCase,
                     container, header, windows_path, main)
from sfxcontainer import HEADER_SIZE, IMAGE_LENGTH  # noqa: E402

# Positions sent for one file, by its length.
POSITIONS = {
    200000: [0, 33, 66, 99],
    65537: [0, 100],
    65536: [0],
    131072: [0, 50],
    1000000: [0, 7, 14, 20, 27, 33, 40, 46, 53, 59, 66, 73, 79, 86, 92, 99],
    3: [0],
    0: [],
}


def pattern(size, seed):
    """Deterministic, non-repeating content: a chunk mix-up shows."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += zlib.crc32(b"%d-%d" % (seed, counter)).to_bytes(4, "little")
        counter += 1
    return bytes(out[:size])


class UnpackCase(LauncherCase):
    def assertClosedOnce(self, run):
        closes = [v for k, v in run.messages if k == "close"]
        self.assertEqual(closes, ["sent"], "the worker sends WM_CLOSE exactly once")


class Unpacking(UnpackCase):
    def test_every_file_arrives_with_status_text_and_progress_per_chunk(self):
        sizes = [("probe.exe", None), ("three.bin", 3), ("empty.dat", 0), ("a.bin", 200000),
                 ("b.bin", 65537), ("c.bin", 65536), ("d.bin", 131072), ("e.bin", 1000000)]
        records = []
        for i, (name, size) in enumerate(sizes):
            data = self.program("probe.exe") if size is None else pattern(size, i)
            records.append((name, data))
        exe = self.write("setup.exe", container(records))
        run = self.run_launcher(exe, env=self.probe_env())

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [])
        # Status text per record, in order, sent from the worker thread.
        self.assertEqual(run.texts(), ["Extracting: " + n for n, _ in records])
        self.assertTrue(all(v.endswith(" sent") for k, v in run.hook if k in ("settext", "setpos")))
        groups = run.position_groups()
        expected = [POSITIONS.get(len(d)) for n, d in records]
        self.assertEqual(groups[1:], expected[1:])
        self.assertClosedOnce(run)
        # The dialog forwards each position to its bar.
        self.assertEqual([int(v) for k, v in run.messages if k == "bar-pos"][1:],
                         [p for g in groups for p in g])
        # What the installer found beside it: every file whole.
        _, files = self.probe_report()
        for name, data in records:
            self.assertEqual(files.get(name), (len(data), zlib.crc32(data)), name)

    def test_dialog_shows_static_before_first_text_and_its_template(self):
        exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe"))]))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        msgs = [m for m in run.messages if m[0] not in ("snf", "error-mode", "shown")]
        self.assertEqual(msgs[0], ("init", "Static"))
        self.assertEqual(msgs[1:3], [("bar-range", "0 100"), ("bar-pos", "0")])
        self.assertEqual(msgs[3], ("status-before", "Static"))
        dialog = run.dialog
        self.assertIsNotNone(dialog, "the progress dialog was never seen")
        self.assertEqual(dialog["caption"], "Extracting files, please wait...")
        self.assertEqual(dialog["style"] & 0x80C008C8, 0x80C008C8)
        self.assertEqual(dialog["style"] & 0x00080000, 0, "no system menu, no close button")
        self.assertEqual(dialog["bar"], "msctls_progress32")

    def test_large_files_first_positions_in_single_precision(self):
        # 16,777,219 is 16,777,220 in single precision: the first quotient
        # rounds below 1, so the first position is 1.  16,777,217 rounds to
        # 16,777,216, and its first quotient to exactly 1: position 0.
        up, down = pattern(16777219, 7), pattern(16777217, 8)
        exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe")),
                                                 ("big.bin", up), ("big2.bin", down)]))
        run = self.run_launcher(exe, env=self.probe_env(), timeout_ms=120000)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [])
        groups = run.position_groups()
        self.assertEqual([g[0] for g in groups[1:]], [1, 0])
        self.assertEqual([len(g) for g in groups[1:]], [257, 257],
                         "one position per 65,536-byte chunk")
        _, files = self.probe_report()
        self.assertEqual(files["big.bin"], (len(up), zlib.crc32(up)))
        self.assertEqual(files["big2.bin"], (len(down), zlib.crc32(down)))

    def test_second_record_with_the_same_name_replaces_the_first(self):
        exe = self.write("setup.exe", container([
            ("probe.exe", self.program("probe.exe")), ("dup.txt", b"first version"),
            ("dup.txt", b"second")]))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual(run.errors, [])
        _, files = self.probe_report()
        self.assertEqual(files["dup.txt"], (6, zlib.crc32(b"second")))

    def test_later_record_with_the_first_name_replaces_the_program_to_launch(self):
        exe = self.write("setup.exe", container([
            ("PROBE.EXE", b"MZ not yet the program"), ("data.txt", b"d"),
            ("probe.exe", self.program("probe.exe"))]))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual(run.errors, [])
        _, files = self.probe_report()
        self.assertEqual(files["data.txt"], (1, zlib.crc32(b"d")))

    def test_container_without_end_record_reads_as_complete(self):
        exe = self.write("setup.exe", container(
            [("probe.exe", self.program("probe.exe")), ("last.txt", b"xyz")], end=False))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(files["last.txt"], (3, zlib.crc32(b"xyz")))

    def test_data_after_the_end_record_is_never_read(self):
        hidden = header(5, "hidden.txt") + b"12345"
        exe = self.write("setup.exe", container(
            [("probe.exe", self.program("probe.exe"))], trailing=b"\0" * 3 + hidden))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(sorted(files), ["probe.exe"])

    def test_files_already_in_the_folder_that_no_record_names_stay_during_the_run(self):
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "old.txt"), "wb") as f:
            f.write(b"left over")
        exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe"))]))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual(run.errors, [])
        _, files = self.probe_report()
        self.assertEqual(files["old.txt"], (9, zlib.crc32(b"left over")))

    def test_a_close_from_elsewhere_ends_the_dialog_and_the_worker_carries_on(self):
        exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe")),
                                                 ("data.bin", pattern(1000000, 3))]))
        run = self.run_launcher(exe, env=self.probe_env(), close_dialog=True)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(files["data.bin"][0], 1000000)


class DoubleByteNames(UnpackCase):
    # "ソフト.exe", "表.txt" and "ポイント.dat" in code page 932, with trail
    # bytes 0x5C and 0x7C.
    NAMES = [b"\x83\x5c\x83\x74\x83\x67.exe", b"\x95\x5c.txt",
             b"\x83\x7c\x83\x43\x83\x93\x83\x67.dat"]

    def run_in_locale(self, locale):
        records = [(self.NAMES[0], self.program("probe.exe")), (self.NAMES[1], b"table"),
                   (self.NAMES[2], b"points")]
        exe = self.write("setup.exe", container(records))
        return records, self.run_launcher(exe, env=self.probe_env(), wine_env={"LC_ALL": locale})

    def test_trail_bytes_that_look_like_separators_under_code_page_932(self):
        records, run = self.run_in_locale("ja_JP.UTF-8")
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran(), "the first file was launched")
        _, files = self.probe_report()
        for name, data in records:
            self.assertEqual(files.get(name.decode("latin-1")), (len(data), zlib.crc32(data)))
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_byte_pair_that_is_no_character_of_the_code_page_is_refused(self):
        # 81 7F: a lead byte of code page 932 before a byte that is none of
        # its trail bytes, though not below 0x40 either.
        name = b"a\x81\x7f.txt"
        exe = self.write("setup.exe", container([(self.NAMES[0], self.program("probe.exe")),
                                                 (name, b"x")]))
        run = self.run_launcher(exe, env=self.probe_env(), wine_env={"LC_ALL": "ja_JP.UTF-8"})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(len(run.errors), 1)
        self.assertTrue(run.errors[0].startswith("Invalid file name in payload: "), run.errors)
        self.assertFalse(self.probe_ran())
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_device_name_in_the_bytes_of_code_page_949_is_refused(self):
        # "COM" A9 F6 is "COM¹" in code page 949, which Windows opens as COM1.
        name = b"COM\xa9\xf6"
        exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe")),
                                                 (name, b"x")]))
        run = self.run_launcher(exe, env=self.probe_env(), wine_env={"LC_ALL": "ko_KR.UTF-8"})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Invalid file name in payload: " + name.decode("latin-1")])
        self.assertFalse(self.probe_ran())
        self.assertEqual(os.listdir(self.temp), [])

    def test_the_same_bytes_under_a_single_byte_code_page_are_refused(self):
        _, run = self.run_in_locale("en_US.UTF-8")
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Invalid file name in payload: "
                                      + self.NAMES[0].decode("latin-1")])
        self.assertFalse(self.probe_ran())
        self.assertEqual(os.listdir(self.temp), [])


class PackedBySfxpack(UnpackCase):
    def test_container_made_by_sfxpack_has_the_layout_and_runs(self):
        import subprocess
        probe = self.write("three.exe", self.program("probe.exe"))
        small = self.write("small.bin", b"abc", 0o644)
        empty = self.write("empty.txt", b"", 0o644)
        out = self.path("setup.exe")
        sfxpack = os.path.join(os.environ["SFX_BUILD_DIR"], "tools", "sfxpack", "sfxpack")
        subprocess.run([sfxpack, "create", "-o", out, small, empty], check=True)
        with open(out, "rb") as f:
            blob = f.read()
        # A 3-byte first file and an empty second one, then the end record.
        self.assertEqual(len(blob), IMAGE_LENGTH + 3 * HEADER_SIZE + 3)
        self.assertEqual(blob, container([("small.bin", b"abc"), ("empty.txt", b"")]))
        self.assertTrue(os.access(out, os.X_OK), "sfxpack sets the executable bit")

        subprocess.run([sfxpack, "create", "--force", "-o", out, probe, small, empty], check=True)
        run = self.run_launcher(out, env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertEqual(run.texts(), ["Extracting: three.exe", "Extracting: small.bin",
                                       "Extracting: empty.txt"])
        self.assertEqual(run.position_groups()[1:], [[0], []])
        _, files = self.probe_report()
        self.assertEqual(files["small.bin"], (3, zlib.crc32(b"abc")))
        self.assertEqual(files["empty.txt"], (0, 0))


class EmptyPayloads(UnpackCase):
    def check_no_files(self, data):
        exe = self.write("setup.exe", data)
        run = self.run_launcher(exe)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.texts(), [])
        self.assertEqual(run.positions(), [])
        self.assertClosedOnce(run)
        # Nothing is written, and the worker removes the empty folder it
        # made, which the cleanup cannot find without a first file.
        self.assertEqual(os.listdir(self.temp), [])
        self.assertEqual(len(run.errors), 1)
        self.assertRegex(run.errors[0], r"^Unable to launch \nError number \d+$")

    def test_payload_of_only_the_end_record(self):
        self.check_no_files(container([]))

    def test_bare_launcher_without_payload(self):
        with open(LAUNCHER, "rb") as f:
            self.check_no_files(f.read())


class Failures(UnpackCase):
    def assertFailedWith(self, run, text):
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors[:1], [text])
        self.assertEqual(run.boxes[0][0], "Error")
        self.assertTrue(run.boxes[0][2], "the error box shows the error icon")
        self.assertFalse(self.probe_ran(), "nothing may be launched")
        self.assertClosedOnce(run)

    def test_record_data_running_past_the_end_of_the_file(self):
        data = container([("probe.exe", self.program("probe.exe")), ("cut.bin", b"x" * 100000)],
                         end=False)[:-5000]
        exe = self.write("setup.exe", data)
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertFailedWith(run, "Unable to read file: " + windows_path(exe))
        # SNF is published even when extraction fails.
        self.assertIn(("snf", windows_path(exe)), run.messages)

    def test_length_below_minus_one_fails_at_once(self):
        data = container([("probe.exe", self.program("probe.exe"))], end=False) + \
            header(-2, "neg.bin") + b"data"
        exe = self.write("setup.exe", data)
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertFailedWith(run, "Unable to read file: " + windows_path(exe))
        self.assertEqual(run.texts(), ["Extracting: probe.exe"])

    def test_names_that_are_not_plain_file_names(self):
        for name in [b"..\\escape.txt", b"sub/file.txt", b"C:x.txt", b"CON", b"nul.txt",
                     b"com1", b"trailing.", b"trailing ", b"..", b"", b"tab\there",
                     b"a" * 1020]:
            with self.subTest(name=name):
                exe = self.write("setup.exe", container([(name, b"payload")]))
                run = self.run_launcher(exe)
                shown = name[:1020].decode("latin-1")
                expected = ("Invalid file name in payload: " + shown)[:999]
                self.assertFailedWith(run, expected)
                self.assertEqual(os.listdir(self.temp), [], "no folder is left behind")

    def test_temp_not_set_or_empty(self):
        exe = self.write("setup.exe", container([("a.txt", b"abc")]))
        for kwargs in ({"unset": ["TEMP"], "temp": False}, {"env": {"TEMP": ""}, "temp": False}):
            with self.subTest(**kwargs):
                run = self.run_launcher(exe, **kwargs)
                self.assertFailedWith(run, "Unable to extract files!\nTEMP is not set.")

    def test_temp_that_does_not_exist(self):
        exe = self.write("setup.exe", container([("a.txt", b"abc")]))
        missing = windows_path(self.path("no-such-dir"))
        run = self.run_launcher(exe, env={"TEMP": missing}, temp=False)
        path = missing + "\\" + FOLDER + "\\a.txt"
        self.assertFailedWith(run, "Unable to open file: %s\nError number: 2" % path)

    def test_path_of_260_bytes_or_more(self):
        base = windows_path(self.temp)
        # Folder path plus name at 259 bytes fits, at 260 it does not.
        room = 259 - len(base) - len("\\" + FOLDER + "\\")
        fits, too_long = "f" * (room - 4) + ".txt", "g" * (room - 3) + ".txt"
        exe = self.write("setup.exe", container([(fits, b"ok"), (too_long, b"no")]))
        run = self.run_launcher(exe)
        path = base + "\\" + FOLDER + "\\" + too_long
        self.assertFailedWith(run, "Unable to open file: %s\nThe path is too long." % path)
        self.assertEqual(self.listing(), None, "the cleanup removed the file that fitted")

    def test_temp_too_long_for_the_folder(self):
        deep = self.path("t" * (235 - len(windows_path(self.dir))))
        os.makedirs(deep)
        exe = self.write("setup.exe", container([("a.txt", b"abc")]))
        run = self.run_launcher(exe, env={"TEMP": windows_path(deep)}, temp=False)
        text = ("Unable to open file: %s\\%s\\\nThe path is too long."
                % (windows_path(deep), FOLDER))
        self.assertFailedWith(run, text)

    def test_file_held_open_by_another_instance(self):
        os.makedirs(self.folder)
        release = self.hold(os.path.join(self.folder, "probe.exe"))
        try:
            exe = self.write("setup.exe", container([("probe.exe", self.program("probe.exe"))]))
            run = self.run_launcher(exe, env=self.probe_env())
        finally:
            release()
        self.assertFailedWith(run, ANOTHER_INSTANCE % self.out_path("probe.exe"))

    def test_first_file_that_cannot_be_created_still_gets_the_cleanup(self):
        # A folder in the way of the first record: its path was recorded
        # before the open, so the plain left-overs beside it still go.
        os.makedirs(os.path.join(self.folder, "probe.exe"))
        with open(os.path.join(self.folder, "old.txt"), "wb") as f:
            f.write(b"left over")
        run = self.run_launcher(self.make(), env=self.probe_env())
        self.assertFailedWith(run, ANOTHER_INSTANCE % self.out_path("probe.exe"))
        self.assertEqual(self.listing(), ["probe.exe"])

    def test_own_file_gone_before_the_worker_opens_it(self):
        exe = self.write("setup.exe", container([("a.txt", b"abc")]))
        run = self.run_launcher(exe, wine_env={"SFX_HOOK_INIT_MOVE": "1"},
                                env={"SFX_HOOK_INIT_MOVE": "1"})
        self.assertIn(("fault", "moved"), run.messages)
        self.assertFailedWith(run, "Unable to open file: %s\nError number: 2" % windows_path(exe))
        self.assertIn(("snf", windows_path(exe)), run.messages)

    def test_dialog_that_cannot_be_created_ends_the_run_without_a_hang(self):
        exe = self.write("setup.exe", container(
            [("probe.exe", self.program("probe.exe"))],
            stub=os.path.join(TEST_WIN_DIR, "launcher_no_dialog.exe")))
        run = self.run_launcher(exe, env=self.probe_env(), timeout_ms=30000)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors,
                         ["Unable to extract files!\nThe progress window could not be created."])
        self.assertFalse(os.path.exists(self.folder), "the worker must never have run")
        self.assertFalse(self.probe_ran())


if __name__ == "__main__":
    main()
