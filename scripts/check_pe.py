#!/usr/bin/env python3
"""Checks the PE structure of the Windows plug-in and host libraries.

    check_pe.py Veskar.dll [veskar_host.dll]

The plug-in must be a 64-bit library with no export table (loading it is what
registers the tool), a version resource with file and product version 1.0.0.0
and "APIVersion" = "7", and imports from nothing but the host library and the
system's DLLs, so that it loads from any plug-ins folder. The host library
must export its API and nothing of the compiler's runtime that it carries.
Prints one line per finding and exits 1 when any check fails.
"""
import sys

import pefile

MACHINE_X64 = 0x8664
EXPORT_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]
# The runtime linked into every library; none of it may leak out as an export.
RUNTIME_PREFIXES = ("_ZNSt", "_ZNKSt", "_ZSt", "_ZN9__gnu_cxx", "_ZN10__cxxabiv1", "__cxa_", "__gxx_",
                    "_Unwind_", "pthread_", "sched_", "sem_", "clock_", "nanosleep", "__mingw", "_GLOBAL_")
HOST_LIBRARY = "veskar_host.dll"


def version_text(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def string_entries(pe):
    entries = {}
    for info in getattr(pe, "FileInfo", []) or []:
        for block in info:
            if getattr(block, "Key", b"") == b"StringFileInfo":
                for table in block.StringTable:
                    for key, value in table.entries.items():
                        entries[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return entries


def exported_names(pe):
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if directory is None:
        return []
    return [symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal for symbol in directory.symbols]


def is_system_dll(name):
    lower = name.lower()
    return lower.startswith("api-ms-win-") or lower in {
        "kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def check_plugin(path, failures):
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != MACHINE_X64:
        failures.append("%s: machine type 0x%04x, not x64 (0x8664)" % (path, pe.FILE_HEADER.Machine))
    if not pe.is_dll():
        failures.append("%s: not a DLL" % path)

    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXPORT_DIRECTORY]
    if directory.VirtualAddress != 0 or directory.Size != 0:
        names = exported_names(pe)
        failures.append("%s: has an export directory (%d bytes) exporting %d symbols: %s"
                        % (path, directory.Size, len(names), ", ".join(names[:10])))

    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        failures.append("%s: no version resource" % path)
    else:
        fixed = pe.VS_FIXEDFILEINFO[0]
        for what, ms, ls in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                             ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
            if version_text(ms, ls) != "1.0.0.0":
                failures.append("%s: %s version %s, not 1.0.0.0" % (path, what, version_text(ms, ls)))
        strings = string_entries(pe)
        if strings.get("APIVersion") != "7":
            failures.append('%s: version resource "APIVersion" is %r, not "7"' % (path, strings.get("APIVersion")))

    imports = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    # The library's own DllMain switches off per-thread notifications; the
    # runtime's default entry point would not import this.
    kernel = [symbol.name for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
              if entry.dll.decode().lower() == "kernel32.dll" for symbol in entry.imports]
    if b"DisableThreadLibraryCalls" not in kernel:
        failures.append("%s: does not call DisableThreadLibraryCalls: its DllMain is not linked in" % path)
    foreign = [name for name in imports if name.lower() != HOST_LIBRARY and not is_system_dll(name)]
    if foreign:
        failures.append("%s: imports from %s; it may need only %s and system DLLs"
                        % (path, ", ".join(foreign), HOST_LIBRARY))
    print("%s: x64 DLL, export directory %s, version resource %s, imports %s"
          % (path, "absent" if directory.Size == 0 else "PRESENT",
             "present" if getattr(pe, "VS_FIXEDFILEINFO", None) else "ABSENT", ", ".join(imports)))


def check_host(path, failures):
    pe = pefile.PE(path)
    symbols = exported_names(pe)
    if not symbols:
        failures.append("%s: exports nothing; it must export the host API" % path)
    leaked = [name for name in symbols if name.startswith(RUNTIME_PREFIXES)]
    if leaked:
        failures.append("%s: exports %d runtime symbols, e.g. %s" % (path, len(leaked), ", ".join(leaked[:5])))
    print("%s: exports %d symbols, %d of them from the runtime" % (path, len(symbols), len(leaked)))


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    failures = []
    check_plugin(argv[1], failures)
    if len(argv) == 3:
        check_host(argv[2], failures)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
