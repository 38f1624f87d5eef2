"""The ASN.1 types of a Windows driver catalog (.cat), for asn1crypto.

A catalog is a PKCS#7 SignedData whose content (type szOID_CTL) is a
certificate trust list with one trusted subject per file of the package:

    CertificateTrustList ::= SEQUENCE {
        version           INTEGER DEFAULT v1,
        subjectUsage      SEQUENCE OF OBJECT IDENTIFIER,   -- szOID_CATALOG_LIST
        listIdentifier    OCTET STRING OPTIONAL,
        sequenceNumber    INTEGER OPTIONAL,
        ctlThisUpdate     Time,
        ctlNextUpdate     Time OPTIONAL,
        subjectAlgorithm  AlgorithmIdentifier,             -- catalog list member (v1 or v2)
        trustedSubjects   SEQUENCE OF TrustedSubject OPTIONAL,
        ctlExtensions     [0] EXPLICIT Extensions OPTIONAL }   -- the catalog's own attributes

    TrustedSubject ::= SEQUENCE {
        subjectIdentifier OCTET STRING,                    -- the member's tag
        subjectAttributes SET OF Attribute OPTIONAL }

A member's attributes are its name-value pairs ("File", "OSAttr"), its
subject information (which subject interface package hashes it) and its
Authenticode indirect data (the file's hash). The catalog's own name-value
pairs are extensions of the trust list.
"""
from asn1crypto import algos, cms, core, x509

# Object identifiers (wincrypt.h, mscat.h and wintrust.h spell them szOID_...).
CTL = "1.3.6.1.4.1.311.10.1"                      # szOID_CTL
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"           # szOID_CATALOG_LIST
CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"    # szOID_CATALOG_LIST_MEMBER: SHA-1 members
CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"   # szOID_CATALOG_LIST_MEMBER2: SHA-256 members
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"          # CAT_NAMEVALUE_OBJID
CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"         # CAT_MEMBERINFO_OBJID
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"       # SPC_INDIRECT_DATA_OBJID
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"      # SPC_PE_IMAGE_DATAOBJ
SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"           # SPC_CAB_DATA_OBJID: a flat file's data

# The subject interface packages that hash a member (mssip.h): a PE image by
# its Authenticode image hash, any other file by the hash of all its bytes.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_FILE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"

# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII:
# a signed attribute whose name and value are plain text (stored as UTF-16).
NAME_VALUE_FLAGS = 0x10010001
# The member information's certificate version, as the catalog tools write it.
MEMBER_CERT_VERSION = 0x200

# The file link of a PE image's or flat file's indirect data names no file.
OBSOLETE_LINK = "<<<Obsolete>>>"


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcSerializedObject(core.Sequence):
    _fields = [
        ("class_id", core.OctetString),
        ("serialized_data", core.OctetString),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", SpcSerializedObject, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [
        ("type", core.ObjectIdentifier),
        ("value", core.Any, {"optional": True}),
    ]


class SpcIndirectDataContent(core.Sequence):
    _fields = [
        ("data", SpcAttributeTypeAndOptionalValue),
        ("message_digest", algos.DigestInfo),
    ]


class CatalogNameValue(core.Sequence):
    _fields = [
        ("tag", core.BMPString),
        ("flags", core.Integer),
        ("value", core.OctetString),
    ]


class CatalogMemberInfo(core.Sequence):
    _fields = [
        ("subject_guid", core.BMPString),
        ("cert_version", core.Integer),
    ]


class CatalogAttribute(core.Sequence):
    _fields = [
        ("type", core.ObjectIdentifier),
        ("values", cms.SetOfAny),
    ]


class CatalogAttributes(core.SetOf):
    _child_spec = CatalogAttribute


class TrustedSubject(core.Sequence):
    _fields = [
        ("subject_identifier", core.OctetString),
        ("subject_attributes", CatalogAttributes, {"optional": True}),
    ]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AlgorithmIdentifier(core.Sequence):
    _fields = [
        ("algorithm", core.ObjectIdentifier),
        ("parameters", core.Any, {"optional": True}),
    ]


class CatalogExtension(core.Sequence):
    _fields = [
        ("extn_id", core.ObjectIdentifier),
        ("critical", core.Boolean, {"default": False}),
        ("extn_value", core.OctetString),
    ]


class CatalogExtensions(core.SequenceOf):
    _child_spec = CatalogExtension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"default": 0}),
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", x509.Time),
        ("next_update", x509.Time, {"optional": True}),
        ("subject_algorithm", AlgorithmIdentifier),
        ("trusted_subjects", TrustedSubjects, {"optional": True}),
        ("extensions", CatalogExtensions, {"explicit": 0, "optional": True}),
    ]


def utf16z(text):
    """Text as the catalog stores it: UTF-16LE with a terminating zero."""
    return (text + "\0").encode("utf-16-le")


def from_utf16z(data):
    text = bytes(data).decode("utf-16-le")
    return text[:-1] if text.endswith("\0") else text


def name_value(tag, text):
    return CatalogNameValue({"tag": tag, "flags": NAME_VALUE_FLAGS, "value": utf16z(text)})


class CatalogContentInfo(core.Sequence):
    """The SignedData's content: the trust list, in PKCS#7's form ([0] EXPLICIT, not an OCTET STRING)."""
    _fields = [
        ("content_type", core.ObjectIdentifier),
        ("content", CertificateTrustList, {"explicit": 0}),
    ]


class CatalogSignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", cms.DigestAlgorithms),
        ("content_info", CatalogContentInfo),
        ("certificates", cms.CertificateSet, {"implicit": 0, "optional": True}),
        ("crls", cms.RevocationInfoChoices, {"implicit": 1, "optional": True}),
        ("signer_infos", cms.SignerInfos),
    ]


class CatalogFile(core.Sequence):
    _fields = [
        ("content_type", core.ObjectIdentifier),
        ("content", CatalogSignedData, {"explicit": 0}),
    ]


SIGNED_DATA = "1.2.840.113549.1.7.2"


def catalog_file(trust_list_value, digest_algorithm="sha256"):
    """An unsigned catalog: a SignedData without signers around the trust list."""
    return CatalogFile({
        "content_type": SIGNED_DATA,
        "content": {
            "version": 1,
            "digest_algorithms": [{"algorithm": digest_algorithm}],
            "content_info": {"content_type": CTL, "content": trust_list_value},
            "signer_infos": [],
        },
    })


def _parse_trust_list(ctl):
    """Parses every field of the list down to each attribute's values, which
    stay undecoded: their types depend on the attribute's identifier."""
    for name in ("version", "subject_usage", "list_identifier", "this_update", "subject_algorithm", "extensions"):
        ctl[name].native
    for subject in ctl["trusted_subjects"]:
        subject["subject_identifier"].native
        for attribute in subject["subject_attributes"]:
            attribute["type"].native
            len(attribute["values"])


def load(der):
    """The catalog file of `der` (bytes); ValueError if it is not a catalog."""
    try:
        parsed = CatalogFile.load(der, strict=True)
        if parsed["content_type"].dotted != SIGNED_DATA:
            raise ValueError("not a PKCS#7 SignedData")
        if parsed["content"]["content_info"]["content_type"].dotted != CTL:
            raise ValueError("the SignedData's content is not a trust list")
        _parse_trust_list(parsed["content"]["content_info"]["content"])
    except (TypeError, ValueError) as error:
        raise ValueError("not a catalog: %s" % error)
    return parsed


def trust_list(der):
    """The certificate trust list of a catalog file's bytes; ValueError if it has none."""
    return load(der)["content"]["content_info"]["content"]
