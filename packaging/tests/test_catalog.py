"""Tests of the catalog writer: the image hash it lists and the catalog it writes.

    /usr/bin/python3 -m unittest discover -s packaging/tests
"""
import datetime
import hashlib
import os
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import catalog_asn1 as cat  # noqa: E402
import make_catalog  # noqa: E402
import pe_image_hash  # noqa: E402

NT = 0x80
OPTIONAL = NT + 24
CHECKSUM = OPTIONAL + 64
SECURITY_ENTRY = OPTIONAL + 112 + 8 * 4
WHEN = datetime.datetime(2026, 12, 9, 12, 0, tzinfo=datetime.timezone.utc)


def pe_image(body=b"\x90" * 301, magic=0x20B):
    """A PE32+ (or PE32) image's headers followed by `body`; 16 data directories."""
    directories = 112 if magic == 0x20B else 96
    optional_size = directories + 16 * 8
    data = bytearray(NT + 24 + optional_size)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, NT)
    data[NT:NT + 4] = b"PE\0\0"
    struct.pack_into("<HH", data, NT + 4, 0x8664, 0)
    struct.pack_into("<H", data, NT + 20, optional_size)
    struct.pack_into("<H", data, OPTIONAL, magic)
    struct.pack_into("<I", data, OPTIONAL + directories - 4, 16)
    return bytes(data) + body


def signed(image, table=b"\x30\x82" + b"\x11" * 62):
    """`image` padded to 8 bytes, with a certificate table at its end and a new checksum."""
    data = bytearray(image + b"\0" * (-len(image) % 8))
    struct.pack_into("<II", data, SECURITY_ENTRY, len(data), len(table))
    struct.pack_into("<I", data, CHECKSUM, 0x1234ABCD)
    return bytes(data) + table


class PeChecksum(unittest.TestCase):
    @staticmethod
    def reference(image):
        """The same sum taken another way: the field zeroed, the words summed
        whole, then folded."""
        data = bytearray(image + b"\0" * (len(image) % 2))
        data[CHECKSUM:CHECKSUM + 4] = b"\0" * 4
        total = sum(word for (word,) in struct.iter_unpack("<H", bytes(data)))
        while total > 0xFFFF:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(image)

    def test_the_checksum_is_the_folded_word_sum_plus_the_length_whatever_the_field_holds(self):
        for body in (b"\xff" * 301, b"\x90\x12" * 2000, bytes(range(256)) * 9 + b"\x7f"):
            image = bytearray(pe_image(body))
            expected = self.reference(bytes(image))
            self.assertEqual(pe_image_hash.pe_checksum(bytes(image)), expected)
            struct.pack_into("<I", image, CHECKSUM, 0xFFFFFFFF)
            self.assertEqual(pe_image_hash.pe_checksum(bytes(image)), expected)
            image[-1] ^= 0x01
            self.assertNotEqual(pe_image_hash.pe_checksum(bytes(image)), expected)


class ImageHash(unittest.TestCase):
    def test_signing_leaves_the_hash_as_it_was(self):
        image = pe_image()
        self.assertNotEqual(len(image) % 8, 0)
        self.assertEqual(pe_image_hash.image_hash(signed(image)), pe_image_hash.image_hash(image))

    def test_the_hash_is_of_the_bytes_outside_checksum_entry_and_table(self):
        image = pe_image()
        padded = image + b"\0" * (-len(image) % 8)
        expected = hashlib.sha256(padded[:CHECKSUM] + padded[CHECKSUM + 4:SECURITY_ENTRY]
                                  + padded[SECURITY_ENTRY + 8:]).digest()
        self.assertEqual(pe_image_hash.image_hash(image), expected)
        self.assertEqual(pe_image_hash.image_hash(image, "sha1"),
                         hashlib.sha1(padded[:CHECKSUM] + padded[CHECKSUM + 4:SECURITY_ENTRY]
                                      + padded[SECURITY_ENTRY + 8:]).digest())

    def test_any_other_byte_changes_the_hash(self):
        image = bytearray(signed(pe_image()))
        original = pe_image_hash.image_hash(bytes(image))
        for offset in (2, CHECKSUM - 1, CHECKSUM + 4, SECURITY_ENTRY - 1, SECURITY_ENTRY + 8, len(image) - 65):
            changed = bytearray(image)
            changed[offset] ^= 0xFF
            self.assertNotEqual(pe_image_hash.image_hash(bytes(changed)), original, "offset %#x" % offset)

    def test_pe32_images_have_their_directories_elsewhere(self):
        image = bytearray(pe_image(magic=0x10B))
        original = pe_image_hash.image_hash(bytes(image))
        image[OPTIONAL + 64] ^= 0xFF            # the checksum: left out
        image[OPTIONAL + 96 + 32] ^= 0xFF       # the certificate entry: left out
        self.assertEqual(pe_image_hash.image_hash(bytes(image)), original)
        image[OPTIONAL + 112 + 32] ^= 0xFF      # where PE32+ keeps it: hashed here
        self.assertNotEqual(pe_image_hash.image_hash(bytes(image)), original)

    def test_what_is_not_an_image_is_refused(self):
        with self.assertRaisesRegex(pe_image_hash.NotAnImage, "MZ"):
            pe_image_hash.image_hash(b"[Version]\r\n" * 10)
        broken = bytearray(pe_image())
        broken[NT] = ord("X")
        with self.assertRaisesRegex(pe_image_hash.NotAnImage, "PE signature"):
            pe_image_hash.image_hash(bytes(broken))
        with self.assertRaisesRegex(pe_image_hash.NotAnImage, "does not end the file"):
            pe_image_hash.image_hash(signed(pe_image()) + b"\0" * 8)


class Catalog(unittest.TestCase):
    def setUp(self):
        self.package = tempfile.mkdtemp()
        os.makedirs(os.path.join(self.package, "x64"))
        self.files = {
            "Driver.sys": signed(pe_image(b"\x01" * 501)),
            "x64/Plugin.dll": pe_image(b"\x02" * 77),
            "Driver.inf": b"[Version]\r\nSignature = \"$Windows NT$\"\r\n",
        }
        for path, data in self.files.items():
            with open(os.path.join(self.package, path), "wb") as f:
                f.write(data)

    def tearDown(self):
        shutil.rmtree(self.package)

    def write(self):
        return make_catalog.catalog([make_catalog.Member(self.package, p) for p in self.files], WHEN)

    def members(self, der):
        listed = {}
        for subject in cat.trust_list(der)["trusted_subjects"]:
            attributes = {}
            for attribute in subject["subject_attributes"]:
                oid = attribute["type"].dotted
                value = attribute["values"][0]
                if oid == cat.CAT_NAMEVALUE:
                    parsed = cat.CatalogNameValue.load(value.dump())
                    attributes[parsed["tag"].native] = cat.from_utf16z(parsed["value"].native)
                elif oid == cat.CAT_MEMBERINFO:
                    attributes["sip"] = cat.CatalogMemberInfo.load(value.dump())["subject_guid"].native
                elif oid == cat.SPC_INDIRECT_DATA:
                    indirect = cat.SpcIndirectDataContent.load(value.dump())
                    attributes["kind"] = indirect["data"]["type"].dotted
                    attributes["digest"] = indirect["message_digest"]["digest"].native
            listed[attributes["File"]] = (cat.from_utf16z(subject["subject_identifier"].native), attributes)
        return listed

    def test_each_file_is_listed_under_its_hash(self):
        listed = self.members(self.write())
        self.assertEqual(sorted(listed), ["driver.inf", "driver.sys", "plugin.dll"])
        for path, data in self.files.items():
            tag, attributes = listed[os.path.basename(path).lower()]
            if path.endswith(".inf"):
                digest, sip, kind = hashlib.sha256(data).digest(), cat.SIP_FLAT_FILE, cat.SPC_CAB_DATA
            else:
                digest, sip, kind = pe_image_hash.image_hash(data), cat.SIP_PE_IMAGE, cat.SPC_PE_IMAGE_DATA
            self.assertEqual(attributes["digest"], digest, path)
            self.assertEqual(tag, digest.hex().upper(), path)
            self.assertEqual((attributes["sip"], attributes["kind"], attributes["OSAttr"]), (sip, kind, "2:10.0"))

    def test_the_catalog_is_a_sha256_trust_list_with_its_own_os_attribute(self):
        der = self.write()
        self.assertEqual(der[0], 0x30)
        ctl = cat.trust_list(der)
        self.assertEqual(ctl["subject_usage"].native, [cat.CATALOG_LIST])
        self.assertEqual(ctl["subject_algorithm"]["algorithm"].dotted, cat.CATALOG_LIST_MEMBER2)
        self.assertEqual(ctl["this_update"].native, WHEN)
        (extension,) = ctl["extensions"]
        value = cat.CatalogNameValue.load(extension["extn_value"].native)
        self.assertEqual((value["tag"].native, cat.from_utf16z(value["value"].native)), ("OSAttr", "2:10.0"))

    def test_the_same_files_give_the_same_bytes_and_a_change_shows(self):
        first = self.write()
        self.assertEqual(self.write(), first)
        with open(os.path.join(self.package, "Driver.inf"), "ab") as f:
            f.write(b";\r\n")
        self.assertNotEqual(self.write(), first)

    def test_a_name_listed_twice_or_a_broken_image_is_refused(self):
        os.makedirs(os.path.join(self.package, "x86"))
        shutil.copy(os.path.join(self.package, "x64/Plugin.dll"), os.path.join(self.package, "x86/plugin.dll"))
        with self.assertRaisesRegex(ValueError, "listed twice: plugin.dll"):
            make_catalog.catalog([make_catalog.Member(self.package, p)
                                  for p in ("x64/Plugin.dll", "x86/plugin.dll")], WHEN)
        with open(os.path.join(self.package, "Broken.sys"), "wb") as f:
            f.write(b"MZ" + b"\0" * 100)
        with self.assertRaisesRegex(ValueError, "Broken.sys"):
            make_catalog.Member(self.package, "Broken.sys")

    def test_load_refuses_what_is_not_a_catalog(self):
        with self.assertRaises(ValueError):
            cat.load(b"\x30\x03\x02\x01\x01")


if __name__ == "__main__":
    unittest.main()
