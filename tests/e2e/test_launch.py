"""Launch and cleanup under Wine: the first unpacked file runs with the
launcher's argument string byte for byte, the launcher waits for it, and
the extraction folder's plain files and the folder go afterwards."""
import os
import subprocess
import zlib

from harness import ANOTHER_INSTANCE, LauncherCase, container, windows_path, main


class LaunchCase(LauncherCase):
    def launched_cmdline(self):
        report, _ = self.probe_report()
        self.assertIn("cmdline", report, "the probe installer did not run")
        return report["cmdline"]


class ArgumentsAndEnvironment(LaunchCase):
    def test_arguments_arrive_byte_for_byte(self):
        exe = self.make()
        for args in ['/S /D="C:\\Program Files\\x"', 'a  b   c', 'tab\there\t', '"unbalanced',
                     'caf\xe9 \xfcber', '  leading blanks are skipped']:
            with self.subTest(args=args):
                cmdline = '"%s" %s' % (windows_path(exe), args)
                run = self.run_launcher(exe, cmdline=cmdline, env=self.probe_env())
                self.assertEqual((run.exit_code, run.errors), (0, []))
                self.assertEqual(self.launched_cmdline(),
                                 '"%s" %s' % (self.out_path("probe.exe"), args.lstrip(" ")))

    def test_arguments_the_code_page_lacks_arrive_character_for_character(self):
        # Code page 1252 has best-fit look-alikes for both: a quote that
        # would end the argument, and another folder's name.
        exe = self.make()
        args = '/D=C:\\\u0141ukasz \uff02/S\uff02'
        cmdline = '"%s" %s' % (windows_path(exe), args)
        run = self.run_launcher(exe, cmdline=cmdline.encode("utf-8"), env=self.probe_env(),
                                wine_env={"LC_ALL": "en_US.UTF-8"}, utf8=True)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        report, _ = self.probe_report()
        self.assertEqual(report["wcmdline"].encode("latin-1").decode("utf-8"),
                         '"%s" %s' % (self.out_path("probe.exe"), args))

    def test_no_arguments_give_the_quoted_path_and_one_blank(self):
        exe = self.make()
        run = self.run_launcher(exe, cmdline='"%s"' % windows_path(exe), env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(self.launched_cmdline(), '"%s" ' % self.out_path("probe.exe"))

    def test_quoted_program_path_with_blanks_and_text_after_the_quote(self):
        exe = self.make(name="my setup.exe")
        # Characters right after the closing quote still belong to the
        # program-name token; the arguments start after the next blank.
        cmdline = '"%s"tail   first "second arg"' % windows_path(exe)
        run = self.run_launcher(exe, cmdline=cmdline, env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(self.launched_cmdline(),
                         '"%s" first "second arg"' % self.out_path("probe.exe"))

    def test_installer_sees_snf_and_the_launchers_current_directory(self):
        exe = self.make()
        workdir = self.path("work dir")
        os.makedirs(workdir)
        run = self.run_launcher(exe, env=self.probe_env(), cwd=workdir)
        self.assertEqual(run.exit_code, 0)
        report, _ = self.probe_report()
        self.assertEqual(report["snf"], windows_path(exe))
        self.assertEqual(report["cwd"].rstrip("\\").lower(), windows_path(workdir).lower())
        self.assertEqual(report["self"], self.out_path("probe.exe"))

    def test_launcher_waits_for_the_installer_and_exits_zero_whatever_it_returns(self):
        exe = self.make([("data.bin", b"d" * 5000)])
        run = self.run_launcher(exe, env=self.probe_env(sleep_ms=1500, exit=7))
        # The probe writes its report only after sleeping: it must exist
        # by the time the launcher has ended.
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(files["data.bin"], (5000, zlib.crc32(b"d" * 5000)))


class Cleanup(LaunchCase):
    def test_folder_goes_with_what_the_installer_and_earlier_runs_left(self):
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "earlier-run.log"), "wb") as f:
            f.write(b"old")
        exe = self.make([("data.bin", b"1234")])
        run = self.run_launcher(exe, env=self.probe_env(write="written-by-installer.txt"))
        self.assertEqual((run.exit_code, run.errors), (0, []))
        _, files = self.probe_report()
        self.assertIn("written-by-installer.txt", files)
        self.assertIn("earlier-run.log", files)
        self.assertFalse(os.path.exists(self.folder))
        self.assertEqual(os.listdir(self.temp), [])

    def test_subfolder_keeps_the_folder_but_plain_files_go(self):
        exe = self.make([("data.bin", b"1234")])
        run = self.run_launcher(exe, env=self.probe_env(mkdir="sub"))
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(self.listing(), ["sub"])
        self.assertEqual(os.listdir(os.path.join(self.folder, "sub")), ["inner.txt"])

    def test_file_held_open_by_another_process_survives_and_keeps_the_folder(self):
        os.makedirs(self.folder)
        release = self.hold(os.path.join(self.folder, "busy.txt"))
        try:
            exe = self.make([("data.bin", b"1234")])
            run = self.run_launcher(exe, env=self.probe_env())
        finally:
            release()
        self.assertEqual((run.exit_code, run.errors), (0, []))
        self.assertEqual(self.listing(), ["busy.txt"])

    def test_failed_extraction_removes_what_was_written_and_launches_nothing(self):
        data = self.make([("whole.bin", b"w" * 100), ("part.bin", b"p" * 200000)], end=False)
        with open(data, "rb") as f:
            blob = f.read()
        exe = self.write("setup.exe", blob[:-100000])
        run = self.run_launcher(exe, env=self.probe_env())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.errors, ["Unable to read file: " + windows_path(exe)])
        self.assertFalse(self.probe_ran())
        self.assertEqual(run.texts(), ["Extracting: probe.exe", "Extracting: whole.bin",
                                       "Extracting: part.bin"])
        self.assertFalse(os.path.exists(self.folder))

    def test_payload_of_only_the_end_record_fails_to_launch_and_deletes_nothing(self):
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "keep.txt"), "wb") as f:
            f.write(b"keep")
        exe = self.write("setup.exe", container([]))
        run = self.run_launcher(exe)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(len(run.errors), 1)
        self.assertRegex(run.errors[0], r"^Unable to launch \nError number [1-9]\d*$")
        self.assertEqual(self.listing(), ["keep.txt"])

    def test_first_record_that_is_not_a_program(self):
        exe = self.write("setup.exe", container([("readme.txt", b"just text\r\n"),
                                                 ("data.bin", b"1234")]))
        run = self.run_launcher(exe)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(len(run.errors), 1)
        self.assertRegex(run.errors[0], r"^Unable to launch %s\nError number [1-9]\d*$"
                         % self.out_path("readme.txt").replace("\\", "\\\\").replace(".", "\\."))
        self.assertFalse(os.path.exists(self.folder))

    def test_second_launcher_stops_at_the_folder_the_first_run_holds(self):
        exe = self.make([("data.bin", b"first")])
        other = self.make([("data.bin", b"second")], name="other.exe")
        started, go = self.path("first-installer-started"), self.path("first-installer-go")
        first = self.start_launcher(
            exe, env=self.probe_env(started=windows_path(started), wait_for=windows_path(go)),
            tag="-first")
        self.wait_for(started, seconds=120)
        second = self.run_launcher(other, tag="-second")
        open(go, "w").close()
        first_run = first.wait()
        self.assertEqual((second.exit_code, second.errors),
                         (0, [ANOTHER_INSTANCE % windows_path(self.folder)]))
        self.assertEqual(second.texts(), [])
        self.assertEqual((first_run.exit_code, first_run.errors), (0, []))
        _, files = self.probe_report()
        self.assertEqual(files["data.bin"], (5, zlib.crc32(b"first")))
        self.assertFalse(os.path.exists(self.folder))


class InstallersOpenTheirFolder(LaunchCase):
    """Installers as they are: each lists, enters or opens the folder it
    was started from, sharing read and write as most programs do."""

    def test_probe_lists_enters_and_opens_its_folder(self):
        run = self.run_launcher(self.make(), env=self.probe_env())
        self.assertEqual((run.exit_code, run.errors), (0, []))
        report, files = self.probe_report()
        self.assertEqual((report["list"], report["enter"], report["open"]), ("0", "0", "0"))
        self.assertIn("probe.exe", files)

    def test_cmd_that_changes_into_its_folder_uses_the_file_beside_it(self):
        # The caller's current directory holds a file of the same name.
        self.write("payload.txt", b"caller's", 0o644)
        copied = self.path("copied.txt")
        script = ('@echo off\r\ncd /d "%%~dp0"\r\ncopy payload.txt "%s"\r\n'
                  % windows_path(copied)).encode()
        exe = self.write("setup.exe", container([("setup.cmd", script),
                                                 ("payload.txt", b"beside")]))
        run = self.run_launcher(exe)
        self.assertEqual((run.exit_code, run.errors), (0, []))
        with open(copied, "rb") as f:
            self.assertEqual(f.read(), b"beside")
        self.assertFalse(os.path.exists(self.folder))

    def test_nsis_installer_copies_the_file_beside_it(self):
        script = self.write("inst.nsi", b"\n".join([
            b'OutFile "inst.exe"', b"RequestExecutionLevel user", b"SilentInstall silent",
            b'InstallDir "$TEMP\\nsis-default"', b"Section",
            b'  SetOutPath "$INSTDIR"', b'  CopyFiles /SILENT "$EXEDIR\\payload.txt" "$INSTDIR"',
            b"  ReadEnvStr $1 SNF", b'  FileOpen $0 "$INSTDIR\\snf.txt" w', b"  FileWrite $0 $1",
            b"  FileClose $0", b"SectionEnd", b""]), 0o644)
        subprocess.run(["makensis", "-V1", script], check=True, cwd=self.dir)
        with open(self.path("inst.exe"), "rb") as f:
            installer = f.read()
        exe = self.write("setup.exe", container([("inst.exe", installer),
                                                 ("payload.txt", b"beside")]))
        target = self.path("installed")
        run = self.run_launcher(exe, cmdline='"%s" /S /D=%s' % (windows_path(exe),
                                                                windows_path(target)))
        self.assertEqual((run.exit_code, run.errors), (0, []))
        with open(os.path.join(target, "payload.txt"), "rb") as f:
            self.assertEqual(f.read(), b"beside")
        with open(os.path.join(target, "snf.txt"), "rb") as f:
            self.assertEqual(f.read().decode("latin-1"), windows_path(exe))
        self.assertFalse(os.path.exists(self.folder))

if __name__ == "__main__":
    main()
