#!/usr/bin/env python3
"""Reads the resources of KDX4610_update.exe back through its resource table: the two
images (BIN 129 and 130, Japanese), dialog 102 and the string tables in English and
Japanese, the version block, the icon group and the manifest, each under its language.
Checks what Windows takes from the manifest (resource 24, id 1): per-monitor DPI awareness
v2 with the system-aware fallback, the supported systems Windows 7 to 11, no elevation and
Common Controls 6; prints the manifest as read. Then the program icon's group (resource 14,
id 128): the sizes Windows picks from at every scaling up to 200 %.

    win_resources.py EXE
"""
import os
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pe_resources  # noqa: E402

RT_DIALOG = 5
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
ENGLISH, JAPANESE, NEUTRAL = 1033, 1041, 0
ICON_ID = 128
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
# (type, id, language, size or None, texts the data holds in UTF-16LE). Strings 133-138 lie
# in string block 9 (ids 128-143), string 57344 in block 3585.
RESOURCES = [
    ("BIN", 129, JAPANESE, 12548, []),
    ("BIN", 130, JAPANESE, 524288, []),
    (RT_GROUP_ICON, ICON_ID, NEUTRAL, None, []),
    (RT_MANIFEST, 1, NEUTRAL, None, []),
    (RT_STRING, 9, ENGLISH, None, ["Error code : ", "Firmware update was completed."]),
    (RT_STRING, 9, JAPANESE, None, []),
    (RT_VERSION, 1, ENGLISH, None, ["040904e4", "KDX4610 Update", "V1.58", "1, 0, 0, 0", "KDX4610_update.exe"]),
] + [entry for language in (ENGLISH, JAPANESE) for entry in (
    (RT_DIALOG, 102, language, None, ["KDX4610 Update v1.58", "MS Shell Dlg"]),
    (RT_STRING, 3585, language, None, ["KDX4610 Update v1.58"]))]
failures = []


def expect(condition, what):
    print(("ok: " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)


def check_resources(data):
    for type_key, id_key, language, size, texts in RESOURCES:
        what = f"{type_key} {id_key} language {language}"
        try:
            offset, found = pe_resources.locate(data, type_key, id_key, language)
        except pe_resources.PeError as error:
            expect(False, f"{what}: {error}")
            continue
        expect(size in (None, found), f"{what}: {found} bytes" + (f" ({size} expected)" if size else ""))
        for text in texts:
            expect(text.encode("utf-16-le") in data[offset:offset + found], f"{what} holds {text!r}")


def check_manifest(root):
    settings = root.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings")
    aware = [e.text.strip().lower() for s in settings for e in s.findall(f"{SETTINGS_2005}dpiAware")]
    awareness = [e.text for s in settings for e in s.findall(f"{SETTINGS_2016}dpiAwareness")]
    expect(aware == ["true"], f"dpiAware (Windows 7 to 10 1511: system-aware) is {aware}")
    entries = [v.strip().lower() for v in awareness[0].split(",")] if len(awareness) == 1 else []
    expect(entries[:1] == ["permonitorv2"], f"dpiAwareness begins with PerMonitorV2: {awareness}")
    expect(entries[1:] == ["system"], f"dpiAwareness falls back to system-aware: {awareness}")

    ids = [e.get("Id", "").lower() for e in
           root.findall(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS")]
    for guid, name in SUPPORTED_OS.items():
        expect(ids.count(guid) == 1, f"supportedOS {name} {guid}")
    expect(len(ids) == len(SUPPORTED_OS), f"{len(ids)} supportedOS entries, no others")

    level = root.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/{ASM_V3}requestedExecutionLevel")
    expect(level is not None and level.get("level") == "asInvoker" and level.get("uiAccess") == "false",
           "requestedExecutionLevel asInvoker, no uiAccess")
    identity = root.find(f"{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity")
    expect(identity is not None and identity.get("name") == "Microsoft.Windows.Common-Controls"
           and identity.get("version") == "6.0.0.0", "Common Controls 6.0")


def icon_sizes(data):
    """The square sizes of the icon group's images (a width byte of 0 is 256)."""
    offset, size = pe_resources.locate(data, RT_GROUP_ICON, ICON_ID)
    group = data[offset:offset + size]
    _, kind, count = pe_resources.unpack("<HHH", group, 0)
    if kind != 1:
        raise pe_resources.PeError("not an icon group")
    sizes = []
    for i in range(count):
        width, height = pe_resources.unpack("<BB", group, 6 + 14 * i)
        sizes.append(width or 256 if width == height else -1)
    return sizes


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        data = f.read()
    check_resources(data)
    try:
        offset, size = pe_resources.locate(data, RT_MANIFEST, 1)
    except pe_resources.PeError as error:
        print(f"FAIL: {argv[1]}: {error}")
        return 1
    text = data[offset:offset + size]
    print(f"manifest: {size} bytes at file offset {offset}")
    print(text.decode("utf-8"))
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        print(f"FAIL: the manifest is not well-formed XML: {error}")
        return 1
    check_manifest(root)
    try:
        sizes = icon_sizes(data)
    except pe_resources.PeError as error:
        sizes = [str(error)]
    expect(sorted(sizes) == ICON_SIZES, f"icon {ICON_ID} sizes {sizes}")
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
