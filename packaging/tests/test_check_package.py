"""Tests of the package check: the shipped INF passes, and a line that leaves
the driver store or writes outside the allowed registry roots fails it.

    /usr/bin/python3 -m unittest discover -s packaging/tests
"""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import check_package  # noqa: E402
import fill_template  # noqa: E402

HARDWARE_ID = "USB\\VID_F055&PID_5100"
PACKAGING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SHIPPED = ["QuelvixZ51RDS.sys", "x64/QuelvixProxyPlugin.dll", "x86/QuelvixProxyPlugin32.dll", "QuelvixZ51RDS.cat"]


def template(name):
    with open(os.path.join(PACKAGING, name), encoding="utf-8") as f:
        return fill_template.filled(f.read(), "12/09/2026,1.0.1.0", HARDWARE_ID)


class PackageCheck(unittest.TestCase):
    def setUp(self):
        self.package = tempfile.mkdtemp(prefix="package-check-")
        for name in SHIPPED:
            path = os.path.join(self.package, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"MZ")
        with open(os.path.join(self.package, "INSTALL.txt"), "w", encoding="utf-8") as f:
            f.write(template("INSTALL.txt"))
        self.inf = template("QuelvixZ51RDS.inf")

    def tearDown(self):
        shutil.rmtree(self.package)

    def problems(self, inf):
        with open(os.path.join(self.package, check_package.INF_NAME), "w", encoding="utf-8") as f:
            f.write(inf)
        return check_package.Checker(self.package, HARDWARE_ID).run()

    def replaced(self, old, new):
        self.assertIn(old, self.inf)
        return self.problems(self.inf.replace(old, new, 1))

    def test_the_inf_as_shipped_passes(self):
        self.assertEqual([], self.problems(self.inf))

    def test_a_destination_outside_the_driver_store_fails(self):
        for old, new in (("Quelvix.Driver.Files   = 13", "Quelvix.Driver.Files   = 12"),
                         ("Quelvix.Plugin32.Files = 13,x86", "Quelvix.Plugin32.Files = 16425"),
                         ("DefaultDestDir         = 13", "DefaultDestDir         = 11")):
            problems = self.replaced(old, new)
            self.assertTrue(any("only 13, the driver store" in p for p in problems), (new, problems))

    def test_a_path_in_another_folder_fails(self):
        problems = self.replaced("ServiceBinary = %13%\\QuelvixZ51RDS.sys", "ServiceBinary = %12%\\QuelvixZ51RDS.sys")
        self.assertTrue(any("[quelvix.service] names a path in dirid 12" in p for p in problems), problems)
        problems = self.replaced("%13%\\x86\\QuelvixProxyPlugin32.dll", "%16425%\\QuelvixProxyPlugin.dll")
        self.assertTrue(any("dirid 16425" in p for p in problems), problems)

    def test_a_renamed_or_moved_driver_store_file_fails(self):
        problems = self.replaced("[Quelvix.Plugin32.Files]\nQuelvixProxyPlugin32.dll",
                                 "[Quelvix.Plugin32.Files]\nQuelvixProxyPlugin.dll, QuelvixProxyPlugin32.dll")
        self.assertTrue(any("renames QuelvixProxyPlugin32.dll" in p for p in problems), problems)
        problems = self.replaced("Quelvix.Plugin64.Files = 13,x64", "Quelvix.Plugin64.Files = 13,bin")
        self.assertTrue(any("subfolder 'bin' of the driver store, the package in 'x64'" in p for p in problems),
                        problems)

    def test_a_registry_line_outside_the_allowed_roots_fails(self):
        for line in ("HKLM,Software\\Quelvix,Level,0x00010001,1",
                     "HKLM,System\\CurrentControlSet\\Services\\Other,Start,0x00010001,4",
                     "HKCU,Software\\Quelvix,,,x",
                     "HKCR,.quelvix,,,QuelvixFile"):
            problems = self.replaced("[Quelvix.Device.AddReg]\n", "[Quelvix.Device.AddReg]\n" + line + "\n")
            self.assertTrue(any("[quelvix.device.addreg] writes" in p for p in problems), (line, problems))

    def test_an_interface_section_is_held_to_the_same_roots(self):
        problems = self.replaced("[Quelvix.Interface.AddReg]\n",
                                 "[Quelvix.Interface.AddReg]\nHKLM,Software\\Microsoft\\Other,,,x\n")
        self.assertTrue(any("[quelvix.interface.addreg] writes HKLM\\Software\\Microsoft\\Other" in p
                            for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
