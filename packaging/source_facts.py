"""What the driver package takes from the sources, read where the code keeps it.

The INF names the plug-in's classes, the camera's property set and the
filter's categories; each comes from the one place in the code (or in the
headers the driver is built with) that defines it, so the package cannot
drift from the binaries it ships.
"""
import os
import re

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MINGW_INCLUDE = "/usr/x86_64-w64-mingw32/include"


def _read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def _guid_from_numbers(numbers):
    """'{XXXXXXXX-XXXX-...}' from the eleven numbers of a GUID initialiser."""
    if len(numbers) != 11:
        raise ValueError("a GUID initialiser has 11 numbers, not %d" % len(numbers))
    d1, d2, d3 = numbers[:3]
    d4 = numbers[3:]
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (d1, d2, d3, d4[0], d4[1], "".join("%02X" % b for b in d4[2:]))


def _numbers(text):
    return [int(n.rstrip("Ll"), 16) for n in re.findall(r"0x[0-9A-Fa-f]+L?", text)]


def guid_initialiser(path, name):
    """The GUID a C++ source defines as `name = {...}`."""
    source = _read(path)
    match = re.search(re.escape(name) + r"\s*=\s*\{(.*?)\}\s*\}", source, re.S)
    if not match:
        raise ValueError("%s: no GUID %s" % (path, name))
    return _guid_from_numbers(_numbers(match.group(1)))


def static_guid(path, macro):
    """The GUID of a `#define STATIC_... 0x..., ...` macro (continued lines)."""
    source = _read(path)
    match = re.search(r"#define\s+" + re.escape(macro) + r"\s+((?:.*\\\n)*.*)", source)
    if not match:
        raise ValueError("%s: no macro %s" % (path, macro))
    return _guid_from_numbers(_numbers(match.group(1)))


def guid_bytes(guid):
    """The 16 bytes of a GUID in memory order, as the registry stores an IID."""
    hexdigits = guid.strip("{}").split("-")
    d1, d2, d3 = (int(h, 16) for h in hexdigits[:3])
    rest = bytes.fromhex(hexdigits[3] + hexdigits[4])
    return d1.to_bytes(4, "little") + d2.to_bytes(2, "little") + d3.to_bytes(2, "little") + rest


def class_names():
    """{CLSID symbol: display name} from the plug-in's class table."""
    source = _read(os.path.join(ROOT, "plugin/src/class_table.cpp"))
    return dict((symbol, name) for name, symbol in re.findall(r'\{L"([^"]*)",\s*&(\w+)', source))


def property_set_guid():
    """The camera property set, which the driver and the plug-in both take from common/."""
    return static_guid(os.path.join(ROOT, "common/camera_property_set.h"), "CAMERA_PROPERTY_SET_GUID")


def facts():
    guids = os.path.join(ROOT, "plugin/src/guids.cpp")
    names = class_names()
    property_set = property_set_guid()
    return {
        "CAMERA_PROPERTY_SET": property_set,
        "CAMERA_PROPERTY_SET_BYTES": ",".join("%02x" % b for b in guid_bytes(property_set)),
        "PROXY_CONFIG_NAME": names["IID_IQuelvixDSProxyConfig"],
        "PLUGIN_PAGE_CLSID": guid_initialiser(guids, "CLSID_QuelvixDSProxyPluginPage"),
        "PLUGIN_PAGE_NAME": names["CLSID_QuelvixDSProxyPluginPage"],
    }


def driver_facts():
    """What the driver itself uses: its filter's categories."""
    categories = _read(os.path.join(ROOT, "driver/capture/capture_filter.cpp"))
    return {
        "categories": {
            name: static_guid(os.path.join(MINGW_INCLUDE, header), "STATIC_" + name)
            for name, header in (("KSCATEGORY_CAPTURE", "ks.h"), ("KSCATEGORY_VIDEO", "ksmedia.h"),
                                 ("KSCATEGORY_VIDEO_CAMERA", "ks.h"))
            if "STATIC_" + name in categories
        },
    }


if __name__ == "__main__":
    for key, value in sorted(facts().items()):
        print("%s=%s" % (key, value))
