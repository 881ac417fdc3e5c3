#!/usr/bin/env python3
"""The built deliverables as binutils reads them (objdump -p and -h, windres -O rc): what each one
imports and exports, the bridge library's shared section, the resources each one carries. Prints one
line for every fault found, naming the file and what is wrong, and exits 1 when there is any.

usage: binary_checks.py OBJDUMP WINDRES BITS VERSION JNI_HEADER RUNTIME_DLLS_APP DELIVERABLE...
  JNI_HEADER        what javac -h writes for com.brennick.util.Native
  RUNTIME_DLLS_APP  a program linked with the compiler's runtime DLLs: the import check must find them
"""
import collections
import os
import re
import subprocess
import sys

# What our modules need from Windows, and nothing that may be missing from a supported system; a new
# dependency is a deliberate edit here. Compared ignoring case, as the loader does.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll",
               "ole32.dll", "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "netapi32.dll", "version.dll",
               "msvcrt.dll"}
UNIVERSAL_CRT = re.compile(r"api-ms-win-crt-.+\.dll")

C_EXPORTS = ["RequestOpenFile", "SendCommand", "GetMainWnd", "GetHiddenWnd", "IsOpenRequestPending",
             "WaitForOpenRequestTaken"]
# Plain names in both bitnesses: regsvr32 and COM ask for exactly these.
COM_EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"]

# The Java interface as agreed, written out by hand: each native of com.brennick.util.Native with the
# bytes of arguments in the 32-bit name the Java runtime looks up (_<name>@<bytes>).
JNI_PREFIX = "Java_com_brennick_util_Native_"
AGREED_NATIVES = {
    "waitForOpenFileRequest": 16, "getFileCreationTime": 12, "updateFileCreationTime": 12, "getHwnd": 12,
    "setForegroundWindow__Ljava_lang_String_2": 12, "setForegroundWindow__I": 12, "setTopmost": 12,
    "setNotTopmost": 12, "getLD": 8, "getWindowsDir": 8, "scheduleTask": 20, "sendEmail": 36,
    "getHAddresses": 12,
}

# The shared block of QLPGPUtils.dll: two window handles and a flag (4 bytes each), the request slot
# and the command slot (64 KiB each), the counts of requests written and taken (4 bytes each). The
# linker may pad the section to 16 bytes; anything more is other data shared by accident. objdump
# spells its flags 0xD0000040 (shared, readable, writable, initialised data) as below: stored in the
# file, mapped, data, neither READONLY nor CODE.
SHARED_BLOCK_BYTES = 3 * 4 + 2 * 65536 + 2 * 4
SHARED_FLAGS = "CONTENTS, ALLOC, LOAD, DATA, SHARED"


def expected_resources(bits):
    """Every resource but the icon images (numbered by the resource compiler), by deliverable."""
    extension = "QLPGPShellExt64.dll" if bits == 64 else "QLPGPShellExt.dll"
    return {
        "QuilloraOpenPGP.exe": {("group icon", "1"), ("24", "1"), ("version", "1")},
        "QLOPGPMonitor.exe": {("group icon", "129"), ("group icon", "130"), ("group icon", "131"),
                              ("menu", "132"), ("24", "1"), ("version", "1")},
        "QLPGPUtils.dll": {("version", "1")},
        # The extension carries no version resource.
        extension: {("REGISTRY", "101"), ("REGISTRY", "102"), ("TYPELIB", "1"), ("stringtable", "7"),
                    ("24", "2")},
    }


faults = []


def fault(where, what):
    faults.append(f"{where}: {what}")


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True, errors="replace")
    return done.returncode, done.stdout, done.stderr


def rc_text(literal):
    """The text of a string literal as windres writes it: "" for a quote, C escapes, octal bytes."""
    return literal.replace('""', '"').encode("latin-1", "backslashreplace").decode("unicode_escape")


class Image:
    def __init__(self, objdump, windres, path):
        self.file = os.path.basename(path)
        code, p, err = run(objdump, "-p", path)
        code_h, h, err_h = run(objdump, "-h", path)
        delay = re.search(r"^Entry d [0-9a-f]+ ([0-9a-f]+) Delay Import Directory", p, re.M)
        if code or code_h or not delay:
            raise RuntimeError(f"objdump cannot read it: {err or err_h or 'no delay-import directory entry'}")
        self.format = re.search(r"file format (\S+)", p)[1]
        self.delay_import_size = int(delay[1], 16)
        # "DLL Name: <dll>", a heading, then one row per function imported by name up to a blank line.
        parts = re.split(r"^\s*DLL Name: (\S+)\n", p, flags=re.M)
        self.imports = {dll: re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)$", rows.split("\n\n")[0], re.M)
                        for dll, rows in zip(parts[1::2], parts[2::2])}
        export_name = re.search(r"^Name\s+[0-9a-f]+ (\S+)$", p, re.M)
        self.export_dll = export_name[1] if export_name else None
        table = re.search(r"^\[Ordinal/Name Pointer\] Table\n((?:\s*\[\s*\d+\] \S+\n)*)", p, re.M)
        self.exports = re.findall(r"\] (\S+)", table[1]) if table else []
        # objdump -h: "Idx Name Size VMA LMA File-off Algn", then the section's flags on the next line.
        self.sections = [(name, int(size, 16), flags.strip()) for name, size, flags in re.findall(
            r"^\s*\d+ (\S+)\s+([0-9a-f]+)(?:\s+[0-9a-f]+){3}\s+2\*\*\d+\n(.*)$", h, re.M)]
        if not self.sections:
            raise RuntimeError("objdump -h gave no sections")
        self.resources = self.read_resources(windres, path)

    @staticmethod
    def read_resources(windres, path):
        """(type, name) -> the resource's lines. windres announces every resource by a comment:
        "/* Type: <type>" when the type changes, then "Name: <name>.  */"."""
        code, text, err = run(windres, "-i", path, "-O", "rc")
        if code:
            if "no resource section" in err:
                return {}
            raise RuntimeError(f"windres cannot read it: {err}")
        resources, kind, lines = {}, None, None
        for line in text.splitlines():
            if m := re.match(r"/\* Type: (.*)$", line):
                kind = m[1].strip().strip('"')
            elif m := re.match(r"(?:/\*)?\s*Name: (.*)\.  \*/$", line):
                key = (kind, m[1].strip().strip('"'))
                if key in resources:
                    raise RuntimeError(f"resource {key} twice")
                resources[key] = lines = []
            elif lines is not None:
                lines.append(line)
        return resources

    def strings(self, key):
        """The string literals of a text resource (a manifest, a script), joined."""
        return "".join(rc_text(m[1]) for line in self.resources[key]
                       if (m := re.match(r'^\s*"(.*)"\s*,?\s*$', line)))


def may_import(deliverable, dll):
    """System DLLs for all; the bridge library for the launcher only."""
    dll = dll.lower()
    return (dll in SYSTEM_DLLS or bool(UNIVERSAL_CRT.fullmatch(dll))
            or (dll == "qlpgputils.dll" and deliverable.lower() == "quilloraopenpgp.exe"))


def declared_natives(header):
    """Each native javac declares, with the bytes of arguments its 32-bit stdcall name carries:
    8 for jlong and jdouble, 4 for everything else (JNIEnv* and jclass included)."""
    text = open(header).read()
    declarations = re.findall(r"JNIEXPORT\s+\w+\s+JNICALL\s+(\w+)\s*\(([^)]*)\)\s*;", text)
    if not declarations or len(declarations) != text.count("JNIEXPORT"):
        fault(header, f"{text.count('JNIEXPORT')} JNIEXPORT lines, {len(declarations)} declarations understood")
    return {name: sum(8 if p.strip() in ("jlong", "jdouble") else 4 for p in parameters.split(","))
            for name, parameters in declarations}


def check_natives(natives):
    agreed = {JNI_PREFIX + name: size for name, size in AGREED_NATIVES.items()}
    for name in sorted(agreed.keys() - natives.keys()):
        fault("javac -h", f"does not declare the agreed native {name}")
    for name in sorted(natives.keys() - agreed.keys()):
        fault("javac -h", f"declares {name}, which is not among the agreed natives")
    for name in sorted(agreed.keys() & natives.keys()):
        if agreed[name] != natives[name]:
            fault("javac -h", f"declares {name} with {natives[name]} bytes of arguments, agreed {agreed[name]}")


def undecorated(export):
    """An export name without stdcall decoration."""
    return re.sub(r"@\d+$", "", export).lstrip("_")


def check_exports(image, expected, dll_name):
    if dll_name and image.export_dll != dll_name:
        fault(image.file, f"export table names {image.export_dll}, not {dll_name}")
    for name in sorted(set(expected) - set(image.exports)):
        fault(image.file, f"missing export {name}")
    # Another spelling: the same name decorated otherwise, or without its JNI signature ("__...").
    spellings = {undecorated(name).split("__")[0]: name for name in expected}
    spellings.update({undecorated(name): name for name in expected})
    for name in sorted(set(image.exports) - set(expected)):
        other = spellings.get(undecorated(name)) or spellings.get(undecorated(name).split("__")[0])
        fault(image.file, f"unexpected export {name}" + (f" (another spelling of {other})" if other else ""))
    for name, count in collections.Counter(image.exports).items():
        if count > 1:
            fault(image.file, f"exports {name} {count} times")


def check_image(image, bits, version, expected, native_exports):
    f = image.file
    if image.format != ("pei-x86-64" if bits == 64 else "pei-i386"):
        fault(f, f"format {image.format}, not a {bits}-bit image")

    # Imports: only what it may, all of it in the import table (nothing delay-loaded).
    if not image.imports:
        fault(f, "no import table read")  # every module imports something
    for dll, functions in image.imports.items():
        if not may_import(f, dll):
            fault(f, f"imports {dll}, which is not part of Windows (link it statically)")
        if not functions:
            fault(f, f"imports no function by name from {dll}")
    if image.delay_import_size != 0:
        fault(f, f"delay-loads DLLs ({image.delay_import_size} bytes of delay-import directory)")

    # Shared sections: only QLPGPUtils.dll's one, holding the shared block and nothing else.
    block = [(size, flags) for name, size, flags in image.sections if name == ".shared"]
    if f == "QLPGPUtils.dll":
        if len(block) != 1:
            fault(f, f"{len(block)} .shared sections, not 1")
        for size, flags in block:
            if flags != SHARED_FLAGS:
                fault(f, f".shared has the flags {flags!r}, not {SHARED_FLAGS!r}")
            if not SHARED_BLOCK_BYTES <= size <= (SHARED_BLOCK_BYTES + 15) // 16 * 16:
                fault(f, f".shared holds {size} bytes, the shared block is {SHARED_BLOCK_BYTES}")
    for name, _, flags in image.sections:
        if "SHARED" in flags and not (f == "QLPGPUtils.dll" and name == ".shared"):
            fault(f, f"section {name} is shared between processes ({flags})")

    # Exports: the programs nothing, the extension what COM looks up, the bridge its functions and
    # each native under the one name the Java runtime looks up.
    if f.endswith(".exe"):
        check_exports(image, [], None)
    elif f == "QLPGPUtils.dll":
        check_exports(image, C_EXPORTS + native_exports, f)
    else:
        check_exports(image, COM_EXPORTS, f)

    # Resources: exactly those listed, every icon image in a group and every group's images there.
    icons = {name for kind, name in image.resources if kind == "icon"}
    found = set(image.resources) - {("icon", name) for name in icons}
    for kind, name in sorted(expected - found):
        fault(f, f"no resource {kind} {name}")
    for kind, name in sorted(found - expected):
        fault(f, f"unexpected resource {kind} {name}")
    in_groups = {m[1] for key in found if key[0] == "group icon" for line in image.resources[key]
                 if (m := re.search(r'^\s*"[^"]*", \d+, \d+, 0x[0-9a-f]+L?, (\d+)', line))}
    if icons != in_groups:
        fault(f, f"icon images {sorted(icons)}, the group icons use {sorted(in_groups)}")

    # The product version, which Windows Installer compares before it replaces a file.
    if ("version", "1") in found:
        text = "\n".join(image.resources[("version", "1")])
        numbers = version.replace(".", ", ") + ", 0"
        for wanted in [f"FILEVERSION {numbers}", f"PRODUCTVERSION {numbers}",
                       f'VALUE "FileVersion", "{version}"', f'VALUE "ProductVersion", "{version}"',
                       f'VALUE "OriginalFilename", "{f}"', 'VALUE "ProductName", "Quillora OpenPGP"']:
            if wanted not in text:
                fault(f, f"version resource lacks {wanted}")
    for key in found:
        if key[0] == "24":
            manifest = image.strings(key)
            for wanted in ['<assembly xmlns="urn:schemas-microsoft-com:asm.v1"',
                           '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>']:
                if wanted not in manifest:
                    fault(f, f"manifest {key[1]} lacks {wanted}")
    # The extension's module name for the registrar, and its scripts stored as text.
    if ("stringtable", "7") in found:
        rows = [line.strip() for line in image.resources[("stringtable", "7")] if re.match(r"\s*\d+,", line)]
        if rows != ['100, "QLPGPShellExt"']:
            fault(f, f"string table {rows}, not [100, \"QLPGPShellExt\"]")
    for name, wanted in [("101", "AppID"), ("102", "InprocServer32")]:
        if ("REGISTRY", name) in found and wanted not in image.strings(("REGISTRY", name)):
            fault(f, f"registration script {name} does not name {wanted}")


def main(objdump, windres, bits, version, jni_header, runtime_dlls_app, *deliverables):
    bits = int(bits)
    natives = declared_natives(jni_header)
    check_natives(natives)
    native_exports = [f"_{name}@{size}" if bits == 32 else name for name, size in natives.items()]

    # The import check must find the compiler's runtime DLLs in a program linked with them.
    control = Image(objdump, windres, runtime_dlls_app)
    if not any(not may_import("QuilloraOpenPGP.exe", dll) and dll.lower() == "libstdc++-6.dll"
               for dll in control.imports):
        fault(control.file, f"the import check does not find libstdc++-6.dll among {list(control.imports)}")

    expected = expected_resources(bits)
    files = [os.path.basename(path) for path in deliverables]
    for missing in sorted(expected.keys() - set(files)):
        fault(missing, "not among the built deliverables")
    for path, f in zip(deliverables, files):
        if f not in expected:
            fault(f, "a deliverable this check does not know: list its resources")
            continue
        try:
            check_image(Image(objdump, windres, path), bits, version, expected[f], native_exports)
        except (RuntimeError, OSError) as e:
            fault(f, str(e))

    for line in faults:
        print("FAILED", line)
    print(f"{len(faults)} faults in {len(files)} {bits}-bit deliverables ({len(natives)} natives declared)")
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) < 8:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
