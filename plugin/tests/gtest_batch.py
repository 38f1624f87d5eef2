#!/usr/bin/env python3
"""All the tests of one GoogleTest program in one Wine process.

Where every 32-bit Wine process costs 35-40 s of CPU to start (32-bit programs
under qemu-user, scripts/wine.sh), the x86 plug-in tests cannot run one
process per test as CTest runs them elsewhere. Then each test program is one
CTest test that runs this script:

    gtest_batch.py run RUNNER PROGRAM RESULTS [program options...]

runs RUNNER PROGRAM --gtest_output=xml:RESULTS.xml (RUNNER is the CTest
emulator, cmake/wine-emu.sh), names every failed test on a line of its own
("FAILED TEST: Suite.Name") and writes RESULTS.json: the program, how many
tests ran and which failed. A program that ends without its XML counts as one
failed test named after the program. The exit status is 0 only when every test
passed.

    gtest_batch.py count CTEST_LOG RESULTS_DIR

prints the tree's count with every test counted, in the form
"TOTAL tests, FAILED failed": CTest's own count (from its log) with each
batch's one CTest test replaced by the tests it ran.
"""
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree


def windows_path(path):
    # Z: maps the root in every Wine prefix; winepath itself would need the
    # 32-bit loader.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_results(xml_file):
    """(tests run, names of the failed ones) from a GoogleTest XML report."""
    root = ElementTree.parse(xml_file).getroot()
    ran, failed = 0, []
    for case in root.iter("testcase"):
        if case.get("result", "completed") == "suppressed" or case.get("status") == "notrun":
            continue
        ran += 1
        if case.find("failure") is not None or case.find("error") is not None:
            failed.append("%s.%s" % (case.get("classname"), case.get("name")))
    return ran, failed


def run(runner, program, results, options):
    xml_file = results + ".xml"
    for stale in (xml_file, results + ".json"):
        if os.path.exists(stale):
            os.remove(stale)
    os.makedirs(os.path.dirname(os.path.abspath(results)), exist_ok=True)
    status = subprocess.call([runner, program, "--gtest_output=xml:" + windows_path(xml_file)] + options)
    name = os.path.splitext(os.path.basename(program))[0]
    try:
        ran, failed = read_results(xml_file)
    except (OSError, ElementTree.ParseError) as error:
        print("gtest_batch: %s left no test report (exit status %d): %s" % (name, status, error))
        ran, failed = 1, [name + " (no test report)"]
    if status != 0 and not failed:
        # The program failed after its tests (a crash at exit, a leak check):
        # that is a failure of its own.
        ran, failed = ran + 1, [name + " (exit status %d)" % status]
    if ran == 0:
        ran, failed = 1, [name + " (no test ran)"]
    for test in failed:
        print("FAILED TEST: " + test)
    print("gtest_batch: %s: %d tests, %d failed" % (name, ran, len(failed)))
    with open(results + ".json", "w") as out:
        json.dump({"program": name, "tests": ran, "failed": failed}, out)
    return 0 if not failed else 1


def count(ctest_log, results_dir):
    with open(ctest_log, errors="replace") as log:
        summaries = re.findall(r"tests passed, (\d+) tests failed out of (\d+)", log.read())
    if not summaries:
        print("gtest_batch: no CTest summary in %s" % ctest_log, file=sys.stderr)
        return 1
    failed, total = (int(n) for n in summaries[-1])
    batches = [os.path.join(results_dir, f) for f in sorted(os.listdir(results_dir))
               if f.endswith(".json")] if os.path.isdir(results_dir) else []
    for batch in batches:
        with open(batch) as f:
            result = json.load(f)
        # The batch's own CTest test out, its tests in.
        total += result["tests"] - 1
        failed += len(result["failed"]) - (1 if result["failed"] else 0)
    print("%d tests, %d failed" % (total, failed))
    return 0


def main(argv):
    if len(argv) >= 4 and argv[1] == "run":
        return run(argv[2], argv[3], argv[4], argv[5:])
    if len(argv) == 4 and argv[1] == "count":
        return count(argv[2], argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
