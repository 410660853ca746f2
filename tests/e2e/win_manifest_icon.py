#!/usr/bin/env python3
"""Reads the manifest (resource 24, id 1) out of KDX4610_update.exe through its resource
table and checks what Windows takes from it: per-monitor DPI awareness v2 with the
system-aware fallback, the supported systems Windows 7 to 11, and the entries it had before
(no elevation, Common Controls 6). Prints the manifest as read. Then the program icon's
group (resource 14, id 128): the sizes Windows picks from at every scaling up to 200 %.

    win_manifest_icon.py EXE
"""
import os
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pe_resources  # noqa: E402

RT_MANIFEST = 24
RT_GROUP_ICON = 14
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


def check(root):
    failures = []

    def expect(condition, what):
        print(("ok: " if condition else "FAIL: ") + what)
        if not condition:
            failures.append(what)

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
    return failures


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
    failures = check(root)
    try:
        sizes = icon_sizes(data)
    except pe_resources.PeError as error:
        sizes = [str(error)]
    ok = sorted(sizes) == ICON_SIZES
    print(("ok: " if ok else "FAIL: ") + f"icon {ICON_ID} sizes {sizes}")
    if not ok:
        failures.append("icon sizes")
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
