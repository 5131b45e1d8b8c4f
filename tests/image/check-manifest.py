#!/usr/bin/env python3
"""Checks the application manifest embedded in the built stub (its RT_MANIFEST resource, stored
as plain UTF-8 in the image): the visual-styles controls, system DPI awareness for every Windows
that reads it (dpiAware, and dpiAwareness for Windows 10 1607 on), Vista to 11 as supported
systems, and a form Windows XP accepts: no element declares a namespace twice (KB921337) and
trustInfo carries its own.

    check-manifest.py STUB
"""
import re
import sys
import xml.etree.ElementTree as ET

ASM1 = "urn:schemas-microsoft-com:asm.v1"
ASM3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
WS2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
WS2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SUPPORTED = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


def fail(message):
    print(f"check-manifest: {message}")
    sys.exit(1)


def main():
    image = open(sys.argv[1], "rb").read()
    found = re.findall(rb"<\?xml.*?</assembly>", image, re.S)
    if len(found) != 1:
        fail(f"expected one manifest in the image, found {len(found)}")
    text = found[0].decode("utf-8")
    # A namespace declared twice in one start tag: the same attribute name twice.
    for tag in re.findall(r"<[A-Za-z][^>]*>", text):
        names = re.findall(r"\s(xmlns(?::\w+)?)=", tag)
        if len(names) != len(set(names)):
            fail(f"a namespace is declared twice in {tag}")
    root = ET.fromstring(text)
    if root.tag != f"{{{ASM1}}}assembly":
        fail(f"the root is {root.tag}")
    controls = root.find(f"{{{ASM1}}}dependency/{{{ASM1}}}dependentAssembly/{{{ASM1}}}assemblyIdentity")
    if controls is None or controls.get("name") != "Microsoft.Windows.Common-Controls" or controls.get("version") != "6.0.0.0":
        fail("no dependency on Microsoft.Windows.Common-Controls 6.0.0.0")
    if root.find(f"{{{ASM3}}}trustInfo") is None:
        fail("no trustInfo in its own namespace")
    settings = root.find(f"{{{ASM3}}}application/{{{ASM3}}}windowsSettings")
    if settings is None:
        fail("no application/windowsSettings")
    aware = settings.find(f"{{{WS2005}}}dpiAware")
    if aware is None or aware.text.strip().lower() != "true":
        fail("dpiAware is not true")
    awareness = settings.find(f"{{{WS2016}}}dpiAwareness")
    if awareness is None or awareness.text.strip().lower() != "system":
        fail("dpiAwareness is not system")
    ids = {e.get("Id") for e in root.findall(f"{{{COMPAT}}}compatibility/{{{COMPAT}}}application/{{{COMPAT}}}supportedOS")}
    missing = [name for guid, name in SUPPORTED.items() if guid not in ids]
    if missing:
        fail("supportedOS lacks " + ", ".join(missing))
    print(f"ok: the manifest declares system DPI awareness and supports {', '.join(SUPPORTED.values())}")


main()
