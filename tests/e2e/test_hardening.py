"""The elevated launcher against a hostile machine: a DLL planted beside
the container, a link planted as the extraction folder or inside it, a
full disk, busy and read-only files, a scanner holding the download."""
import os
import shutil
import subprocess

import zlib

from harness import (ANOTHER_INSTANCE, FOLDER, PROBE_REPORT, TEST_WIN_DIR, LauncherCase,
                     container, read_lines, unescape, windows_path, main)


NO_DLL_SEARCH_RESTRICTION = (
    "Unable to extract files!\nThis version of Windows cannot restrict where the launcher loads "
    "its DLLs from. Install the Windows update KB2533623 and run setup again.")


class PlantedDll(LauncherCase):
    """A comctl32.dll beside the container, with Wine told to prefer a
    native DLL the way Windows does for DLLs that are not known DLLs."""

    def run_with_planted_dll(self, stub=None):
        shutil.copy(os.path.join(TEST_WIN_DIR, "comctl32.dll"), self.path("comctl32.dll"))
        log = self.path("planted.log")
        exe = self.make(stub=stub)
        run = self.run_launcher(exe, env=dict(self.probe_env(), SFX_PLANTED_LOG=windows_path(log)),
                                wine_env={"WINEDLLOVERRIDES":
                                          "comctl32=n,b;mscoree,mshtml=;winemenubuilder.exe=d"})
        loaded = open(log).read() if os.path.exists(log) else ""
        return run, loaded

    def test_planted_comctl32_is_never_loaded(self):
        run, loaded = self.run_with_planted_dll()
        self.assertEqual(loaded, "")
        self.assertEqual((run.exit_code, run.errors), (0, []))
        # The progress bar still exists and moves: the hook logs what a
        # control of the progress bar's class receives (the driver, which
        # looks at the windows from outside, can miss a short-lived dialog).
        self.assertIn(("bar-range", "0 100"), run.messages)
        self.assertNotEqual([], [v for k, v in run.messages if k == "bar-pos" and v != "0"])
        self.assertTrue(self.probe_ran())

    def test_the_check_notices_a_launcher_that_imports_comctl32(self):
        # The same run against a launcher built with the usual static
        # import: the planted DLL runs inside it.
        run, loaded = self.run_with_planted_dll(
            stub=os.path.join(TEST_WIN_DIR, "launcher_static_comctl32.exe"))
        self.assertIn("loaded-by " + windows_path(self.path("setup.exe")).replace("\\", "\\\\"),
                      loaded)

    def test_system_that_cannot_restrict_the_dll_search_stops_the_run(self):
        for mode in ("missing", "fails"):
            with self.subTest(mode=mode):
                run = self.run_launcher(self.make(), early_hook=True,
                                        env=dict(self.probe_env(), SFX_HOOK_DLL_DIRECTORIES=mode))
                self.assertIn(("fault", "dll-directories-" + mode), run.messages)
                self.assertEqual((run.exit_code, run.errors), (0, [NO_DLL_SEARCH_RESTRICTION]))
                self.assertFalse(self.probe_ran())
                self.assertEqual(os.listdir(self.temp), [])

    def test_critical_error_boxes_are_off(self):
        run = self.run_launcher(self.make(), env=self.probe_env())
        # SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
        self.assertIn(("error-mode", "8001"), run.messages)


class PlantedLinks(LauncherCase):
    def test_extraction_folder_that_is_a_link_is_refused(self):
        target = self.path("elsewhere")
        os.makedirs(target)
        with open(os.path.join(target, "precious.txt"), "wb") as f:
            f.write(b"precious")
        os.symlink(target, self.folder)
        run = self.run_launcher(self.make([("data.bin", b"1234")]), env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Unable to extract files!\nThe folder %s is a link."
                                      % (windows_path(self.temp) + "\\" + FOLDER)])
        self.assertFalse(self.probe_ran())
        self.assertEqual(os.listdir(target), ["precious.txt"])
        self.assertTrue(os.path.islink(self.folder))

    def plant(self, link, name):
        """A file outside the folder, and LINK (os.link or os.symlink) to
        it planted in the folder under NAME; returns the outside file."""
        outside = self.path("outside.txt")
        with open(outside, "wb") as f:
            f.write(b"outside")
        os.makedirs(self.folder)
        link(outside, os.path.join(self.folder, name))
        return outside

    def assertUnchanged(self, outside):
        with open(outside, "rb") as f:
            self.assertEqual(f.read(), b"outside")

    def test_hard_link_under_a_record_name_loses_its_name_not_its_content(self):
        outside = self.plant(os.link, "data.bin")
        run = self.run_launcher(self.make([("data.bin", b"record data")]), env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(files["data.bin"], (11, zlib.crc32(b"record data")))
        self.assertUnchanged(outside)
        self.assertIsNone(self.listing())

    def test_symbolic_link_under_a_record_name_is_never_written_through(self):
        outside = self.plant(os.symlink, "data.bin")
        run = self.run_launcher(self.make([("data.bin", b"record data")]), env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [ANOTHER_INSTANCE % self.out_path("data.bin")])
        self.assertFalse(self.probe_ran())
        self.assertUnchanged(outside)
        # The cleanup removed the probe and left the link.
        self.assertEqual(self.listing(), ["data.bin"])

    def test_cleanup_deletes_where_the_final_path_cannot_be_had(self):
        run = self.run_launcher(self.make([("data.bin", b"x")]),
                                env=dict(self.probe_env(), SFX_HOOK_NO_FINAL_PATH="entries"))
        self.assertIn(("fault", "no-final-path"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())
        self.assertFalse(os.path.exists(self.folder))

    def test_link_inside_the_folder_leaves_its_target_alone(self):
        outside = self.plant(os.symlink, "link.txt")
        run = self.run_launcher(self.make(), env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertUnchanged(outside)
        # The link itself stays, and so does the folder: the cleanup never
        # deletes through a link.
        self.assertEqual(self.listing(), ["link.txt"])



class TrustBoundary(LauncherCase):
    """What a program with the user's unelevated rights can prepare: the
    container replaced after consent, the extraction folder made first."""

    OWN_SDDL = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
    UNPROTECTED = ("Unable to extract files!\nThe folder %s is on a volume that cannot protect "
                   "its files. Set TEMP to a folder on a local NTFS volume.")
    UNLOCATED = ("Unable to extract files!\nThe system cannot tell where the folder %s is. "
                 "Set TEMP to a folder on a local NTFS volume.")

    def test_own_file_replaced_before_the_worker_opens_it(self):
        exe = self.make()
        other = self.write("other.exe", container([("probe.exe", self.program("probe.exe")),
                                                   ("replacement.txt", b"chosen by another")]))
        run = self.run_launcher(exe, env=dict(self.probe_env(), SFX_HOOK_INIT_REPLACE=windows_path(other)))
        self.assertIn(("fault", "replaced"), run.messages)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Unable to open file: %s\nError number: 2" % windows_path(exe)])
        self.assertFalse(self.probe_ran())
        self.assertEqual(os.listdir(self.temp), [])

    def test_folder_made_by_another_program_is_made_afresh(self):
        os.makedirs(self.folder)
        for name, data in (("version.dll", b"planted dll"), ("data.bin", b"planted data")):
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(data)
        run = self.run_launcher(self.make([("data.bin", b"record data")]),
                                env=dict(self.probe_env(handles=1, rename=windows_path(self.folder)),
                                         SFX_HOOK_MKDIR_SD="1"),
                                foreign_folder=True)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        # The folder is created with the launcher's own descriptor.
        self.assertIn(("mkdir-sd", self.OWN_SDDL), run.messages)
        report, files = self.probe_report()
        self.assertEqual(sorted(files), ["data.bin", "probe.exe"])
        self.assertEqual(files["data.bin"], (11, zlib.crc32(b"record data")))
        # Held without delete sharing while the installer runs; no handle
        # of the launcher's reaches the installer.
        self.assertEqual(report["rename"], "0")
        inherited = [unescape(v) for k, v in read_lines(self.path(PROBE_REPORT)) if k == "handle"]
        self.assertFalse([h for h in inherited if FOLDER in h or "setup.exe" in h], inherited)
        self.assertFalse(os.path.exists(self.folder))

    def test_folder_swapped_right_after_it_is_made_is_never_used(self):
        plain = self.path("plain")
        os.makedirs(plain)
        with open(os.path.join(plain, "planted.txt"), "wb") as f:
            f.write(b"planted")
        # An unelevated program may rename what lies directly in its TEMP.
        folder = windows_path(self.folder)
        moves = "%s>%s.moved|%s>%s" % (folder, folder, windows_path(plain), folder)
        run = self.run_launcher(self.make([("data.bin", b"record data")]),
                                env=dict(self.probe_env(), SFX_HOOK_WAIT_AT="made",
                                         SFX_HOOK_MOVES=moves))
        self.assertIn(("waited", "made"), run.messages)
        # The first rename, the held folder's, is refused (a sharing
        # violation), so the planted folder never takes its place.
        self.assertIn(("moves", "failed 0 32"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(sorted(files), ["data.bin", "probe.exe"])

    def test_folder_put_in_place_before_its_removal_is_left_alone(self):
        # Once the hold is let go, the empty folder may be renamed away and
        # another put under its name; that one is not the folder held.
        planted = self.path("planted")
        os.makedirs(planted)
        folder = windows_path(self.folder)
        moves = "%s>%s.moved|%s>%s" % (folder, folder, windows_path(planted), folder)
        run = self.run_launcher(self.make(), env=dict(self.probe_env(), SFX_HOOK_WAIT_AT="reopen",
                                                      SFX_HOOK_MOVES=moves))
        self.assertIn(("waited", "reopen"), run.messages)
        self.assertIn(("moves", "ok"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertEqual(sorted(os.listdir(self.temp)), [FOLDER, FOLDER + ".moved"])

    def test_foreign_entry_whose_name_reads_as_a_path_deletes_nothing_outside(self):
        # Fullwidth reverse solidi, "\\" in code page 1252's best fit; the
        # entries' final paths cannot be had, so no later check can notice.
        victim = self.write("victim.txt", b"victim", 0o644)
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "..\uff3c..\uff3cvictim.txt"), "wb") as f:
            f.write(b"planted")
        run = self.run_launcher(self.make(), env=dict(self.probe_env(),
                                                      SFX_HOOK_NO_FINAL_PATH="entries"),
                                foreign_folder=True, wine_env={"LC_ALL": "en_US.UTF-8"})
        self.assertIn(("fault", "no-final-path"), run.messages)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"victim")
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())

    def test_subfolder_that_becomes_a_link_while_the_folder_is_cleared(self):
        outside = self.path("outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "victim.txt"), "wb") as f:
            f.write(b"victim")
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "sub\uff3cvictim.txt"), "wb") as f:
            f.write(b"planted")
        # "sub" is absent while the entry is looked at, and a link to the
        # outside folder when it is deleted.
        run = self.run_with_move(self.make(), "delete",
                                 lambda: os.symlink(outside, os.path.join(self.folder, "sub")),
                                 env=self.probe_env(), foreign_folder=True,
                                 wine_env={"LC_ALL": "en_US.UTF-8"})
        self.assertIn(("waited", "delete"), run.messages)
        self.assertEqual(os.listdir(outside), ["victim.txt"])
        self.assertEqual(run.errors, [ANOTHER_INSTANCE % windows_path(self.folder)])
        self.assertFalse(self.probe_ran())

    def test_temp_link_retargeted_before_the_launch_changes_nothing(self):
        real, other = self.path("real"), self.path("other", FOLDER)
        os.makedirs(real)
        os.makedirs(other)
        for name, data in (("probe.exe", self.program("probe.exe")), ("other.txt", b"other")):
            with open(os.path.join(other, name), "wb") as f:
                f.write(data)
        link = self.path("templink")
        os.symlink(real, link)

        def retarget():
            os.symlink(self.path("other"), link + ".new")
            os.replace(link + ".new", link)
        run = self.run_with_move(self.make([("data.bin", b"record data")]), "launch", retarget,
                                 env=self.probe_env(), temp_dir=link)
        self.assertIn(("waited", "launch"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(sorted(files), ["data.bin", "probe.exe"])
        self.assertEqual(sorted(os.listdir(other)), ["other.txt", "probe.exe"])
        self.assertEqual(os.listdir(real), [])

    def plant_probe(self, *parts):
        planted = self.path(*parts)
        os.makedirs(os.path.dirname(planted), exist_ok=True)
        shutil.copy(os.path.join(TEST_WIN_DIR, "probe.exe"), planted)
        return planted

    def assertNotLaunched(self, run):
        self.assertEqual((run.exit_code, run.errors),
                         (0, ["Unable to launch %s\nError number 3" % self.out_path("probe.exe")]))
        self.assertFalse(self.probe_ran())
        self.assertFalse(os.path.exists(self.folder))

    def test_folder_path_that_win32_reads_as_another_is_never_started(self):
        # The folder's final path as "...\\y.\\{...}", which CreateProcessW
        # reads as "...\\y\\{...}", where another program waits.
        self.plant_probe("y", FOLDER, "probe.exe")
        run = self.run_launcher(self.make(), env=dict(
            self.probe_env(), SFX_HOOK_FOLDER_PARENT=windows_path(self.path("y")) + "."))
        self.assertIn(("fault", "folder-parent"), run.messages)
        self.assertNotLaunched(run)

    def test_program_started_must_be_the_file_written(self):
        planted = self.plant_probe("planted", "probe.exe")
        run = self.run_launcher(self.make(), env=dict(self.probe_env(),
                                                      SFX_HOOK_START_OTHER=windows_path(planted)))
        self.assertNotLaunched(run)

    def test_batch_file_passes_the_check_through_the_system_command_interpreter(self):
        exe = self.write("setup.exe", container([("setup.cmd", b'@"%~dp0probe.exe"\r\n'),
                                                 ("probe.exe", self.program("probe.exe"))]))
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())

    def test_first_file_is_held_until_the_installer_has_started(self):
        # Just before the start, another program tries to move the file away.
        moves = "%s>%s" % (self.out_path("probe.exe"), windows_path(self.path("moved.exe")))
        run = self.run_launcher(self.make(), env=dict(self.probe_env(), SFX_HOOK_WAIT_AT="launch",
                                                      SFX_HOOK_MOVES=moves))
        self.assertIn(("moves", "failed 0 32"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())

    def test_snf_names_the_consented_container_when_its_link_is_retargeted(self):
        consented = self.make([("data.bin", b"consented")], name="consented.exe")
        os.makedirs(self.path("a"))
        os.makedirs(self.path("b"))
        os.rename(consented, self.path("a", "setup.exe"))
        self.write(os.path.join("b", "setup.exe"), container([("other.bin", b"other")]))
        os.symlink(self.path("a"), self.path("via"))
        started, go = self.path("probe.started"), self.path("probe.go")
        pending = self.start_launcher(self.path("via", "setup.exe"), env=self.probe_env(
            started=windows_path(started), wait_for=windows_path(go), snf_file=1))
        self.wait_for(started)
        os.symlink(self.path("b"), self.path("via.new"))
        os.replace(self.path("via.new"), self.path("via"))
        open(go, "w").close()
        run = pending.wait()
        self.assertEqual((run.exit_code, run.errors), (0, []))
        report, _ = self.probe_report()
        with open(self.path("a", "setup.exe"), "rb") as f:
            data = f.read()
        self.assertEqual(report["snf-file"], "%d\t%08x" % (len(data), zlib.crc32(data)))

    def test_installer_cannot_rename_the_container_snf_names(self):
        exe = self.make()
        run = self.run_launcher(exe, env=self.probe_env(rename=windows_path(exe)))
        self.assertEqual((run.exit_code, run.errors), (0, []))
        report, _ = self.probe_report()
        self.assertEqual(report["rename"], "0")

    def test_folder_the_launcher_cannot_vouch_for_stops_the_run(self):
        folder = windows_path(self.temp) + "\\" + FOLDER
        for fault, text in (
                ({"SFX_HOOK_VOLUME": "no-acls"}, self.UNPROTECTED),
                ({"SFX_HOOK_VOLUME": "remote"}, self.UNPROTECTED),
                ({"SFX_HOOK_NO_FINAL_PATH": "1"}, self.UNLOCATED)):
            with self.subTest(fault=fault):
                run = self.run_launcher(self.make(), env=dict(self.probe_env(), **fault))
                self.assertEqual((run.exit_code, run.errors), (0, [text % folder]))
                self.assertFalse(self.probe_ran())
                self.assertEqual(os.listdir(self.temp), [])

    def test_folder_that_cannot_be_cleared_stops_the_run(self):
        os.makedirs(os.path.join(self.folder, "sub"))
        with open(os.path.join(self.folder, "version.dll"), "wb") as f:
            f.write(b"planted dll")
        run = self.run_launcher(self.make(), env=self.probe_env(), foreign_folder=True)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [ANOTHER_INSTANCE % self.out_path("sub")])
        self.assertFalse(self.probe_ran())
        self.assertEqual(self.listing(), ["sub"])


class BusyAndFullFiles(LauncherCase):
    def test_disk_full_in_the_middle_of_a_file(self):
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.temp],
                               capture_output=True)
        if mount.returncode != 0:
            self.skipTest("this machine does not allow mounting a tmpfs: %s"
                          % mount.stderr.decode().strip())
        try:
            big = os.urandom(3 * 1024 * 1024)
            run = self.run_launcher(self.make([("big.bin", big)]), env=self.probe_env())
            self.assertEqual(run.exit_code, 0)
            self.assertEqual(run.errors, ["Unable to write to file: " + self.out_path("big.bin")])
            self.assertFalse(self.probe_ran())
            self.assertFalse(os.path.exists(self.folder), "the cleanup removed the partial file")
        finally:
            subprocess.run(["umount", self.temp])

    def test_read_only_file_where_a_record_goes(self):
        # The tests run as root, which writes to files without write
        # permission; an immutable file is read-only even for root.
        os.makedirs(self.folder)
        ro = os.path.join(self.folder, "data.bin")
        with open(ro, "wb") as f:
            f.write(b"read only")
        chattr = subprocess.run(["chattr", "+i", ro], capture_output=True)
        if chattr.returncode != 0:
            self.skipTest("this file system cannot make a file immutable: %s"
                          % chattr.stderr.decode().strip())
        try:
            run = self.run_launcher(self.make([("data.bin", b"new")]), env=self.probe_env())
        finally:
            subprocess.run(["chattr", "-i", ro])
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [ANOTHER_INSTANCE % self.out_path("data.bin")])
        self.assertFalse(self.probe_ran())
        # The cleanup removes what it can: the probe it wrote goes, the
        # read-only file stays unchanged, and so does the folder.
        self.assertEqual(self.listing(), ["data.bin"])
        with open(ro, "rb") as f:
            self.assertEqual(f.read(), b"read only")

    def test_own_file_held_briefly_by_a_scanner_is_waited_for(self):
        run = self.run_launcher(self.make(), env=dict(self.probe_env(), SFX_HOOK_INIT_HOLD_MS="600"))
        self.assertIn(("fault", "held"), run.messages)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())

    def test_own_file_held_for_long_fails_with_the_sharing_error(self):
        exe = self.make()
        run = self.run_launcher(exe, env=dict(self.probe_env(), SFX_HOOK_INIT_HOLD_MS="4000"))
        self.assertIn(("fault", "held"), run.messages)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Unable to open file: %s\nError number: 13"
                                      % windows_path(exe)])
        self.assertFalse(self.probe_ran())


class PathsTheCodePageCannotName(LauncherCase):
    """A container in, and a TEMP under, a folder whose name code page 1252
    cannot hold: "\u0141" has only the look-alike "L" there.  The look-alike
    folder is made first; the launcher must never read or write it."""

    CP1252 = {"LC_ALL": "en_US.UTF-8"}
    CANNOT_NAME_TEMP = ("Unable to extract files!\n"
                        "The TEMP folder cannot be named in the system's code page.")

    def test_container_in_such_a_folder_is_read_through_its_short_path(self):
        for folder in ("Lukasz", "\u0141ukasz"):
            os.makedirs(self.path(folder))
        self.make([("data.bin", b"look-alike")], name=os.path.join("Lukasz", "setup.exe"))
        exe = self.make([("data.bin", b"real")], name=os.path.join("\u0141ukasz", "setup.exe"))
        run = self.run_launcher(exe, env=self.probe_env(), wine_env=self.CP1252, utf8=True)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        report, files = self.probe_report()
        self.assertEqual(files["data.bin"], (4, zlib.crc32(b"real")))
        # SNF is the path the launcher read: the short form, in ASCII.
        folder, _, name = report["snf"].rpartition("\\")
        self.assertEqual(name, "setup.exe")
        self.assertRegex(folder, r"^[ -~]+~[ -~]+$")
        self.assertNotEqual(folder.rpartition("\\")[2], "Lukasz")

    def temp_and_look_alike(self):
        temp, look_alike = self.path("t\u0141"), self.path("tL")
        os.makedirs(temp)
        os.makedirs(look_alike)
        return temp, look_alike

    def test_temp_under_such_a_folder_is_used_through_its_short_path(self):
        temp, look_alike = self.temp_and_look_alike()
        # The probe leaves a subfolder, which keeps the extraction folder
        # after the cleanup: it shows where the files went.
        run = self.run_launcher(self.make(), env=self.probe_env(mkdir="sub"), temp_dir=temp,
                                wine_env=self.CP1252, utf8=True)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertTrue(self.probe_ran())
        self.assertEqual(os.listdir(os.path.join(temp, FOLDER, "sub")), ["inner.txt"])
        self.assertEqual(os.listdir(look_alike), [])

    def test_temp_on_a_volume_without_short_names_is_refused(self):
        # The own path is read before the hook can act, so only TEMP shows
        # this failure.
        temp, look_alike = self.temp_and_look_alike()
        run = self.run_launcher(self.make(), env=dict(self.probe_env(), SFX_HOOK_NO_SHORT_NAMES="1"),
                                temp_dir=temp, wine_env=self.CP1252, utf8=True)
        self.assertIn(("fault", "no-short-names"), run.messages)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, [self.CANNOT_NAME_TEMP])
        self.assertFalse(self.probe_ran())
        self.assertEqual((os.listdir(temp), os.listdir(look_alike)), ([], []))


if __name__ == "__main__":
    main()
