#!/usr/bin/env python3
"""Structural check of the Windows driver package.

    check_package.py PACKAGE_DIR HARDWARE_ID

Reads PACKAGE_DIR/QuelvixZ51RDS.inf and checks that the sections and keys a
camera driver package needs are there and agree with each other, that the
GUIDs it names are the ones the driver and the plug-in are built with, and
that the files it lists are exactly the files shipped. Prints one line per
problem and exits 1 if there is any.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import source_facts  # noqa: E402

INF_NAME = "QuelvixZ51RDS.inf"
CAMERA_CLASS_GUID = "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}"
KS_PROXY_CLSID = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}"
CATALOG_NAME = "QuelvixZ51RDS.cat"
# Shipped beside what the INF installs: the INF itself, its signed catalog,
# the instructions and the test certificate.
NOT_INSTALLED = {INF_NAME.lower(), CATALOG_NAME.lower(), "install.txt", "quelvixtestcert.cer"}

# A driver-store package: every file runs from the driver store.
DRIVER_STORE_DIRID = "13"
# Where a driver-store INF may write outside HKR: COM registration (HKCR,
# HKLM\Software\Classes), and the KS proxy's plug-in keys, which rely on
# InfVerif /h's current exception for HKLM\SYSTEM\CurrentControlSet.
# (root, key prefix), compared without regard to case.
ALLOWED_OUTSIDE_HKR = (
    ("HKCR", "CLSID\\"),
    ("HKLM", "Software\\Classes\\"),
    ("HKLM", "System\\CurrentControlSet\\Control\\MediaInterfaces\\"),
    ("HKLM", "System\\CurrentControlSet\\Control\\MediaSets\\"),
)
# Where each file runs from: its subfolder of the driver store.
PLUGIN64_PATH = "%13%\\x64\\QuelvixProxyPlugin.dll"
PLUGIN32_PATH = "%13%\\x86\\QuelvixProxyPlugin32.dll"


def strip_comment(line):
    out, quoted = [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            break
        out.append(ch)
    return "".join(out).strip()


class Inf:
    """Sections of lines; a line is (key or None, [fields]) with strings substituted."""

    def __init__(self, text):
        raw, section = {}, None
        for line in text.splitlines():
            line = strip_comment(line)
            if not line:
                continue
            match = re.fullmatch(r"\[([^\]]+)\]", line)
            if match:
                section = match.group(1).strip().lower()
                raw.setdefault(section, [])
            elif section is not None:
                raw[section].append(line)
        self.strings = {}
        for line in raw.get("strings", []):
            key, _, value = line.partition("=")
            self.strings[key.strip().lower()] = value.strip().strip('"')
        self.sections = {name: [self._split(line) for line in lines] for name, lines in raw.items()}

    def _substitute(self, text):
        return re.sub(r"%([^%]+)%", lambda m: self.strings.get(m.group(1).lower(), m.group(0)), text)

    def _split(self, line):
        key = None
        match = re.match(r'^([^=",]+?)\s*=\s*(.*)$', line)
        if match:
            key, line = match.group(1).strip().lower(), match.group(2)
        fields = [self._substitute(f.strip().strip('"')) for f in next_fields(line)]
        return key, fields

    def has(self, section):
        return section.lower() in self.sections

    def lines(self, section):
        return self.sections.get(section.lower(), [])

    def values(self, section, key):
        """Every field list of `key = ...` lines in the section."""
        return [fields for k, fields in self.lines(section) if k == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0][0] if found and found[0] else None

    def list_of(self, section, key):
        """The section names a directive such as CopyFiles lists, over all its lines."""
        return [f for fields in self.values(section, key) for f in fields if f]


def next_fields(line):
    fields, current, quoted = [], [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
            current.append(ch)
        elif ch == "," and not quoted:
            fields.append("".join(current))
            current = []
        else:
            current.append(ch)
    fields.append("".join(current))
    return fields


class Checker:
    def __init__(self, package, hardware_id):
        self.package = package
        self.hardware_id = hardware_id
        self.problems = []
        with open(os.path.join(package, INF_NAME), encoding="utf-8") as f:
            self.text = f.read()
        self.inf = Inf(self.text)

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition

    def section(self, name, why):
        return self.expect(self.inf.has(name), "missing section [%s] (%s)" % (name, why))

    def run(self):
        self.expect("@" not in re.sub(r"^;.*$", "", self.text, flags=re.M), "an @FIELD@ was left unfilled")
        self.check_directory_ids()
        self.check_registry_roots()
        self.check_version()
        install = self.check_models()
        if install:
            self.check_install(install)
            self.check_interfaces(install + ".Interfaces")
            self.check_services(install + ".Services")
        return self.problems

    def check_version(self):
        inf = self.inf
        if not self.section("Version", "the package's identity"):
            return
        self.expect(inf.value("Version", "Signature") == "$Windows NT$", "Signature is not $Windows NT$")
        self.expect(inf.value("Version", "Class") == "Camera", "Class is not Camera")
        self.expect((inf.value("Version", "ClassGuid") or "").lower() == CAMERA_CLASS_GUID,
                    "ClassGuid is not the Camera class's")
        self.expect(bool(inf.value("Version", "Provider")), "no Provider")
        catalog = inf.value("Version", "CatalogFile") or ""
        self.expect(catalog.lower() == CATALOG_NAME.lower(), "CatalogFile is '%s', not %s" % (catalog, CATALOG_NAME))
        self.expect(os.path.isfile(os.path.join(self.package, CATALOG_NAME)), "%s is not shipped" % CATALOG_NAME)
        driver_ver = ",".join(inf.values("Version", "DriverVer")[0]) if inf.values("Version", "DriverVer") else ""
        self.expect(re.fullmatch(r"\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+", driver_ver),
                    "DriverVer '%s' is not mm/dd/yyyy,w.x.y.z" % driver_ver)
        self.expect(inf.value("Version", "PnpLockdown") == "1", "PnpLockdown is not 1")

    def check_models(self):
        inf = self.inf
        if not self.section("Manufacturer", "the models list"):
            return None
        entries = inf.lines("Manufacturer")
        if not self.expect(len(entries) == 1 and len(entries[0][1]) >= 2, "[Manufacturer] needs one line with a decoration"):
            return None
        models, decorations = entries[0][1][0], [d.strip() for d in entries[0][1][1:]]
        self.expect("NTamd64" in decorations, "the models are not decorated NTamd64")
        section = models + ".NTamd64"
        if not self.section(section, "the x64 models"):
            return None
        lines = inf.lines(section)
        if not self.expect(len(lines) == 1 and len(lines[0][1]) == 2, "[%s] needs one model line" % section):
            return None
        install, hardware_id = lines[0][1]
        self.expect(hardware_id == self.hardware_id, "hardware id '%s', expected '%s'" % (hardware_id, self.hardware_id))
        self.expect(hardware_id.upper().startswith("USB\\VID_"), "hardware id '%s' is not a USB id" % hardware_id)
        with open(os.path.join(self.package, "INSTALL.txt"), encoding="utf-8") as f:
            instructions = f.read()
        self.expect("\n    %s\n" % hardware_id in instructions,
                    "INSTALL.txt does not name the hardware id %s on a line of its own" % hardware_id)
        self.expect(not re.search(r"@[A-Z_]+@", instructions), "INSTALL.txt has an unfilled @FIELD@")
        page = source_facts.facts()["PLUGIN_PAGE_NAME"]
        self.expect('"%s"' % page in instructions, "INSTALL.txt does not name the page as registered, \"%s\"" % page)
        install = install + ".NTamd64"
        return install if self.section(install, "the model's install section") else None

    def check_install(self, install):
        inf = self.inf
        includes = [f.lower() for f in inf.list_of(install, "Include")]
        needs = [f.lower() for f in inf.list_of(install, "Needs")]
        self.expect("ks.inf" in includes and "kscaptur.inf" in includes, "Include lacks ks.inf or kscaptur.inf")
        self.expect("ks.registration" in needs and "kscaptur.registration.nt" in needs,
                    "Needs lacks KS.Registration or KSCAPTUR.Registration.NT")
        self.check_files(inf.list_of(install, "CopyFiles"))
        for section in inf.list_of(install, "AddReg"):
            self.check_addreg(section)
        self.check_plugin_registration(inf.list_of(install, "AddReg"))

    def check_files(self, copy_sections):
        inf = self.inf
        dirs = {k: fields for k, fields in inf.lines("DestinationDirs")}
        disks = {k for k, _ in inf.lines("SourceDisksNames")}
        sources = {k: fields for k, fields in inf.lines("SourceDisksFiles")}
        listed = set()
        for section in copy_sections:
            if not self.section(section, "named by CopyFiles"):
                continue
            self.expect(section.lower() in dirs, "[%s] has no DestinationDirs entry" % section)
            destination = dirs.get(section.lower(), [""])
            target_subdir = destination[1].strip() if len(destination) > 1 else ""
            for _, fields in inf.lines(section):
                source = fields[1] if len(fields) > 1 and fields[1] else fields[0]
                # A file run from the driver store keeps its name.
                self.expect(source.lower() == fields[0].lower(),
                            "[%s] renames %s to %s: a driver-store file keeps its name" % (section, source, fields[0]))
                if not self.expect(source.lower() in sources, "%s is not in [SourceDisksFiles]" % source):
                    continue
                disk_fields = sources[source.lower()]
                self.expect(disk_fields[0] in disks, "%s: disk %s is not in [SourceDisksNames]" % (source, disk_fields[0]))
                subdir = disk_fields[1].strip() if len(disk_fields) > 1 else ""
                # ...and its subfolder: the driver store holds the package as shipped.
                self.expect(subdir.lower() == target_subdir.lower(),
                            "%s: [%s] puts it in subfolder '%s' of the driver store, the package in '%s'"
                            % (source, section, target_subdir, subdir))
                path = os.path.join(subdir.replace("\\", "/"), source) if subdir else source
                listed.add(path.lower())
                self.expect(os.path.isfile(os.path.join(self.package, path)), "%s is listed but not shipped" % path)
        shipped = set()
        for base, _, files in os.walk(self.package):
            for name in files:
                path = os.path.relpath(os.path.join(base, name), self.package).lower()
                if path not in NOT_INSTALLED:
                    shipped.add(path)
        self.expect(shipped == listed, "files shipped %s differ from files listed %s" % (sorted(shipped), sorted(listed)))

    def check_addreg(self, section):
        if not self.section(section, "named by AddReg"):
            return
        for _, fields in self.inf.lines(section):
            self.expect(len(fields) >= 5 or (len(fields) >= 2 and fields[0] == "HKR"),
                        "[%s]: short line %s" % (section, fields))

    def check_directory_ids(self):
        """Every destination is the driver store, and so is every path the INF writes."""
        for key, fields in self.inf.lines("DestinationDirs"):
            self.expect(fields[0] == DRIVER_STORE_DIRID,
                        "[DestinationDirs] %s goes to dirid %s: only %s, the driver store, is allowed"
                        % (key, fields[0], DRIVER_STORE_DIRID))
        for name, lines in self.inf.sections.items():
            for _, fields in lines:
                for dirid in re.findall(r"%(\d+)%", ",".join(fields)):
                    self.expect(dirid == DRIVER_STORE_DIRID,
                                "[%s] names a path in dirid %s: only %s, the driver store, is allowed"
                                % (name, dirid, DRIVER_STORE_DIRID))

    def check_registry_roots(self):
        """Every AddReg line writes under HKR or under a documented exception."""
        for section in sorted({s.lower() for name in self.inf.sections for s in self.inf.list_of(name, "AddReg")}):
            for _, fields in self.inf.lines(section):
                root, key = fields[0].upper(), (fields[1] if len(fields) > 1 else "").lower() + "\\"
                allowed = root == "HKR" or any(root == r and key.startswith(prefix.lower())
                                               for r, prefix in ALLOWED_OUTSIDE_HKR)
                self.expect(allowed, "[%s] writes %s\\%s: outside HKR, only COM classes and the KS proxy's "
                            "plug-in keys are allowed" % (section, fields[0], fields[1] if len(fields) > 1 else ""))

    def registry_entries(self, sections):
        """{(root, key, value name, flags): data} over AddReg sections."""
        entries = {}
        for section in sections:
            for _, fields in self.inf.lines(section):
                fields = fields + [""] * (5 - len(fields))
                flags = int(fields[3], 0) if fields[3] else 0
                entries[(fields[0], fields[1], fields[2], flags)] = ",".join(fields[4:])
        return entries

    def check_plugin_registration(self, sections):
        facts = source_facts.facts()
        entries = self.registry_entries(sections)
        page, config = facts["PLUGIN_PAGE_CLSID"], facts["CAMERA_PROPERTY_SET"]
        # The 64-bit classes in the native view, the 32-bit ones in the 32-bit
        # view's own key, each naming its library in the driver store.
        for root, classes, library in (("HKCR", "", PLUGIN64_PATH),
                                       ("HKLM", "Software\\Classes\\Wow6432Node\\", PLUGIN32_PATH)):
            for clsid, name in ((page, facts["PLUGIN_PAGE_NAME"]), (config, facts["PROXY_CONFIG_NAME"])):
                key = classes + "CLSID\\" + clsid
                self.expect(entries.get((root, key, "", 0)) == name, "no %s\\%s = %s" % (root, key, name))
                self.expect(entries.get((root, key + "\\InprocServer32", "", 0)) == library,
                            "%s InprocServer32 does not name %s" % (key, library))
                self.expect(entries.get((root, key + "\\InprocServer32", "ThreadingModel", 0)) == "Both",
                            "%s ThreadingModel is not Both" % key)
        control = "System\\CurrentControlSet\\Control\\"
        self.expect(entries.get(("HKLM", control + "MediaSets\\%s\\PropertyPages\\%s" % (config, page), "", 0))
                    == facts["PLUGIN_PAGE_NAME"], "no MediaSets property page entry")
        self.expect(entries.get(("HKLM", control + "MediaInterfaces\\" + config, "", 0)) == facts["PROXY_CONFIG_NAME"],
                    "no MediaInterfaces entry")
        self.expect(entries.get(("HKLM", control + "MediaInterfaces\\" + config, "IID", 1)) == facts["CAMERA_PROPERTY_SET_BYTES"],
                    "MediaInterfaces IID is not the set's 16 bytes")

    def check_interfaces(self, section):
        if not self.section(section, "the filter's device interfaces"):
            return
        categories = source_facts.driver_facts()["categories"]
        self.expect(len(categories) == 3, "the driver's filter names %d of the three categories" % len(categories))
        added = {fields[0].upper(): fields for fields in self.inf.values(section, "AddInterface")}
        for name, guid in categories.items():
            fields = added.get(guid.upper())
            if not self.expect(fields is not None, "no AddInterface for %s %s" % (name, guid)):
                continue
            self.expect(len(fields) >= 3 and fields[1] == "GLOBAL", "%s: reference string is not GLOBAL" % name)
            if len(fields) < 3 or not self.section(fields[2], "the interface's install section"):
                continue
            for addreg in self.inf.list_of(fields[2], "AddReg"):
                if not self.section(addreg, "the interface's AddReg"):
                    continue
                entries = self.registry_entries([addreg])
                self.expect(entries.get(("HKR", "", "CLSID", 0)) == KS_PROXY_CLSID, "%s: CLSID is not the KS proxy's" % addreg)
                self.expect(bool(entries.get(("HKR", "", "FriendlyName", 0))), "%s: no FriendlyName" % addreg)

    def check_services(self, section):
        if not self.section(section, "the kernel service"):
            return
        services = self.inf.values(section, "AddService")
        if not self.expect(len(services) == 1 and len(services[0]) == 3, "one AddService line expected"):
            return
        name, flags, install = services[0]
        self.expect(name == "QuelvixZ51RDS", "service name %s" % name)
        self.expect(int(flags, 0) & 2 == 2, "the service is not the function driver (flag 2)")
        if not self.section(install, "the service's install section"):
            return
        want = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1", "ServiceBinary": "%13%\\QuelvixZ51RDS.sys"}
        for key, value in want.items():
            self.expect(self.inf.value(install, key) == value, "%s is not %s" % (key, value))


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    problems = Checker(sys.argv[1], sys.argv[2]).run()
    for problem in problems:
        print("package check: " + problem)
    print("package structure: %s" % ("%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
