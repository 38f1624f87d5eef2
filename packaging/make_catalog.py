#!/usr/bin/env python3
"""Writes the driver package's catalog, unsigned.

    make_catalog.py --package DIR --output FILE.cat --time UNIX_TIME [--os-attr 2:10.0] FILE...

FILE... are paths inside the package (forward slashes). Each becomes one
member of the catalog, hashed with SHA-256 (a catalog of version 2, which
Windows 8 and later read): a .sys, .dll or .exe by its Authenticode image
hash, any other file (the INF) by the hash of all its bytes. A member carries
what the catalog tools write for it: its tag (the hash in upper-case
hexadecimal), its "File" name and "OSAttr" attributes, its subject
information and its indirect data. The catalog itself carries "OSAttr".

The catalog is written unsigned (a SignedData without signers);
osslsigncode signs it. The same files and time give the same bytes.
"""
import argparse
import datetime
import hashlib
import os
import sys

from asn1crypto import core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalog_asn1 as cat  # noqa: E402
import pe_image_hash  # noqa: E402

PE_EXTENSIONS = (".sys", ".dll", ".exe")
# "2:10.0": platform 2 (Windows NT), version 10.0 (Windows 10 and 11), as
# Inf2Cat writes it for a package made for 10_X64.
DEFAULT_OS_ATTR = "2:10.0"


class Member:
    """One file of the package as the catalog lists it."""

    def __init__(self, package, path):
        self.path = path
        with open(os.path.join(package, path), "rb") as f:
            data = f.read()
        self.is_image = path.lower().endswith(PE_EXTENSIONS)
        if self.is_image:
            try:
                self.digest = pe_image_hash.image_hash(data)
            except pe_image_hash.NotAnImage as error:
                raise ValueError("%s: %s" % (path, error))
        else:
            self.digest = pe_image_hash.file_hash(data)
        self.name = os.path.basename(path).lower()

    @property
    def tag(self):
        return self.digest.hex().upper()

    def indirect_data(self):
        """The Authenticode statement of what the file's hash is and how it was taken."""
        link = cat.SpcLink(name="file", value=cat.SpcString(name="unicode", value=cat.OBSOLETE_LINK))
        if self.is_image:
            data = {"type": cat.SPC_PE_IMAGE_DATA, "value": cat.SpcPeImageData({"flags": (), "file": link})}
        else:
            data = {"type": cat.SPC_CAB_DATA, "value": link}
        return cat.SpcIndirectDataContent({
            "data": data,
            "message_digest": {"digest_algorithm": {"algorithm": "sha256"}, "digest": self.digest},
        })

    def subject(self, os_attr):
        info = cat.CatalogMemberInfo({
            "subject_guid": cat.SIP_PE_IMAGE if self.is_image else cat.SIP_FLAT_FILE,
            "cert_version": cat.MEMBER_CERT_VERSION,
        })
        attributes = [
            (cat.CAT_NAMEVALUE, cat.name_value("File", self.name)),
            (cat.CAT_NAMEVALUE, cat.name_value("OSAttr", os_attr)),
            (cat.CAT_MEMBERINFO, info),
            (cat.SPC_INDIRECT_DATA, self.indirect_data()),
        ]
        encoded = [cat.CatalogAttribute({"type": oid, "values": [value]}) for oid, value in attributes]
        # DER orders a SET OF by the encodings of its elements.
        encoded.sort(key=lambda attribute: attribute.dump())
        return cat.TrustedSubject({"subject_identifier": cat.utf16z(self.tag), "subject_attributes": encoded})


def trust_list(members, when, os_attr):
    subjects = sorted((member.subject(os_attr) for member in members),
                      key=lambda subject: bytes(subject["subject_identifier"].native))
    # The list's identifier only has to tell catalogs apart: the hashes of
    # what it lists do, and keep the file reproducible.
    identifier = hashlib.sha256(b"".join(sorted(member.digest for member in members))).digest()[:16]
    return cat.CertificateTrustList({
        "subject_usage": [cat.CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": {"utc_time": when},
        "subject_algorithm": {"algorithm": cat.CATALOG_LIST_MEMBER2, "parameters": core.Null()},
        "trusted_subjects": subjects,
        "extensions": [{
            "extn_id": cat.CAT_NAMEVALUE,
            "extn_value": cat.name_value("OSAttr", os_attr).dump(),
        }],
    })


def catalog(members, when, os_attr=DEFAULT_OS_ATTR):
    """The DER bytes of the unsigned catalog listing `members`."""
    names = [member.name for member in members]
    duplicates = sorted({name for name in names if names.count(name) > 1})
    if duplicates:
        raise ValueError("a file name is listed twice: %s" % ", ".join(duplicates))
    return cat.catalog_file(trust_list(members, when, os_attr)).dump()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--package", required=True, help="the package folder")
    parser.add_argument("--output", required=True, help="the catalog to write")
    parser.add_argument("--time", required=True, type=int, help="the catalog's date, seconds since 1970 (UTC)")
    parser.add_argument("--os-attr", default=DEFAULT_OS_ATTR, help="the OSAttr value (default %(default)s)")
    parser.add_argument("files", nargs="+", help="the package's files, relative to --package")
    args = parser.parse_args(argv)
    try:
        members = [Member(args.package, path) for path in args.files]
        der = catalog(members, datetime.datetime.fromtimestamp(args.time, datetime.timezone.utc), args.os_attr)
    except (OSError, ValueError) as error:
        print("make_catalog: %s" % error, file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(der)
    for member in members:
        print("catalog member %s %s" % (member.tag, member.path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
