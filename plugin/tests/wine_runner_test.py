#!/usr/bin/env python3
"""How the plug-in tests are started under Wine, checked with stand-in loaders
on the Linux side: cmake/wine-emu.sh's one retry when Wine could not start the
program, and gtest_batch.py's counts when a whole test program runs in one
process.

    wine_runner_test.py WINE_EMU_SH GTEST_BATCH_PY
"""
import json
import os
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

WINE_EMU, GTEST_BATCH = None, None

NOT_STARTED = ("Application could not be started, or no application associated with the "
               "specified file.\r\nShellExecuteEx failed: Internal error.\r\n")


def write_script(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + textwrap.dedent(body))
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class WineEmuTest(unittest.TestCase):
    """wine-emu.sh against a stand-in wine64 that records every program start."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        d = self.dir.name
        self.starts = os.path.join(d, "starts")
        bin_dir = os.path.join(d, "bin")
        os.mkdir(bin_dir)
        write_script(os.path.join(bin_dir, "wineserver"), "exit 0\n")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(d, "prefix"),
                        PATH=bin_dir + os.pathsep + os.environ["PATH"],
                        QUELVIX_WINE64=os.path.join(d, "wine64"))

    def tearDown(self):
        self.dir.cleanup()

    def loader(self, behaviour):
        """A wine64 whose n-th start of a program (not the warm-up `cmd`)
        does what `behaviour` says for n = 1, 2, ... (a shell case body)."""
        write_script(self.env["QUELVIX_WINE64"], """\
            [ "$1" = cmd ] && exit 0
            echo "$*" >> "%s"
            n=$(wc -l < "%s")
            case $n in
            %s
            esac
            """ % (self.starts, self.starts, behaviour))

    def run_emu(self):
        result = subprocess.run(["bash", WINE_EMU, "test.exe", "--flag"], env=self.env,
                                capture_output=True, text=True, timeout=60)
        with open(self.starts) as f:
            starts = f.read().splitlines()
        return result, starts

    def test_a_program_wine_could_not_start_is_started_once_more(self):
        self.loader("1) printf '%s' >&2; exit 1 ;;\n*) echo 'test output'; exit 0 ;;"
                    % NOT_STARTED.replace("\r\n", "\\r\\n"))
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(starts, ["test.exe --flag", "test.exe --flag"])
        self.assertIn("test output", result.stdout)
        self.assertIn("could not start test.exe", result.stderr)
        self.assertIn("starting it once more", result.stderr)

    def test_the_retry_is_made_once_only(self):
        self.loader("*) printf '%s'; exit 1 ;;" % NOT_STARTED.replace("\r\n", "\\r\\n"))
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(starts), 2)

    def test_a_silent_failure_is_a_start_wine_could_not_make(self):
        self.loader("1) exit 1 ;;\n*) echo 'test output'; exit 0 ;;")
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(len(starts), 2)
        self.assertIn("nor from Wine", result.stderr)

    def test_a_program_stopped_by_the_time_limit_is_not_started_again(self):
        self.env["WINE_EMU_TIMEOUT"] = "1"
        self.loader("*) sleep 30 ;;")
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 124)
        self.assertEqual(len(starts), 1)

    def test_a_program_that_printed_anything_is_not_started_again(self):
        self.loader("*) echo '[ RUN      ] Suite.Test'; printf '%s' >&2; exit 1 ;;"
                    % NOT_STARTED.replace("\r\n", "\\r\\n"))
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(starts), 1)
        self.assertNotIn("once more", result.stderr)

    def test_other_failures_keep_their_status_and_output(self):
        self.loader("*) echo 'out'; echo 'err' >&2; exit 5 ;;")
        result, starts = self.run_emu()
        self.assertEqual(result.returncode, 5)
        self.assertEqual(len(starts), 1)
        self.assertEqual(result.stdout, "out\n")
        self.assertEqual(result.stderr, "err\n")


REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="4" failures="1" disabled="1" errors="0" name="AllTests">
  <testsuite name="Page" tests="3" failures="1" disabled="0" errors="0">
    <testcase name="Opens" status="run" result="completed" classname="Page" />
    <testcase name="Closes" status="run" result="completed" classname="Page">
      <failure message="boom" type="">boom</failure>
    </testcase>
    <testcase name="Later" status="notrun" result="suppressed" classname="Page" />
  </testsuite>
  <testsuite name="Factory" tests="1" failures="0" disabled="0" errors="0">
    <testcase name="Creates" status="run" result="completed" classname="Factory" />
  </testsuite>
</testsuites>
"""


class GtestBatchTest(unittest.TestCase):
    """gtest_batch.py with a stand-in runner that writes a report or none."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.results = os.path.join(self.dir.name, "batched", "plugin_unit_tests")

    def tearDown(self):
        self.dir.cleanup()

    def runner(self, report, status):
        """A runner that writes `report` where --gtest_output asks (a Z: path)
        unless it is None, and exits with `status`."""
        path = os.path.join(self.dir.name, "runner")
        report_file = os.path.join(self.dir.name, "report.xml")
        if report is not None:
            with open(report_file, "w") as f:
                f.write(report)
        write_script(path, """\
            for arg; do
              case $arg in
              --gtest_output=xml:Z:*)
                out=$(printf "%%s" "${arg#--gtest_output=xml:Z:}" | tr '\\\\' /)
                [ -f "%s" ] && cp "%s" "$out" ;;
              esac
            done
            exit %d
            """ % (report_file, report_file, status))
        return path

    def batch(self, report, status):
        result = subprocess.run(["python3", GTEST_BATCH, "run", self.runner(report, status),
                                 "plugin_unit_tests.exe", self.results],
                                capture_output=True, text=True, timeout=60)
        with open(self.results + ".json") as f:
            return result, json.load(f)

    def test_every_test_is_counted_and_each_failure_named(self):
        result, counts = self.batch(REPORT, 1)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(counts, {"program": "plugin_unit_tests", "tests": 3, "failed": ["Page.Closes"]})
        self.assertIn("FAILED TEST: Page.Closes\n", result.stdout)

    def test_a_clean_run_passes(self):
        report = REPORT.replace('<failure message="boom" type="">boom</failure>', "")
        result, counts = self.batch(report, 0)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(counts["tests"], 3)
        self.assertEqual(counts["failed"], [])

    def test_a_program_without_a_report_is_one_failure(self):
        result, counts = self.batch(None, 5)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(counts["failed"], ["plugin_unit_tests (no test report)"])

    def test_a_failed_exit_after_passing_tests_is_a_failure(self):
        report = REPORT.replace('<failure message="boom" type="">boom</failure>', "")
        result, counts = self.batch(report, 3)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(counts["tests"], 4)
        self.assertEqual(counts["failed"], ["plugin_unit_tests (exit status 3)"])

    def test_the_tree_count_replaces_each_batch_by_its_tests(self):
        self.batch(REPORT, 1)
        log = os.path.join(self.dir.name, "ctest.log")
        with open(log, "w") as f:
            # unit.all failed, regsvr32.register and bridge.config passed.
            f.write("67% tests passed, 1 tests failed out of 3\n")
        result = subprocess.run(["python3", GTEST_BATCH, "count", log,
                                 os.path.dirname(self.results)],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "5 tests, 1 failed\n")


if __name__ == "__main__":
    WINE_EMU, GTEST_BATCH = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
