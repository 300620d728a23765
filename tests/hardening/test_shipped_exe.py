"""Checks on the shipped .exe itself: format, imports, hardening flags,
resources and size. Reads the file with Debian's python3-pefile. The file is
TAVRO_SHIPPED_EXE: the unsigned build, or a signed copy of it."""
import os
import struct
import sys
import unittest

import pefile

EXE = os.environ.get("TAVRO_SHIPPED_EXE", "")
# Windows "known DLLs" (HKLM\...\Session Manager\KnownDLLs) that the program
# may import directly; the loader never takes these from the program's folder.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
              "ole32.dll", "oleaut32.dll", "shlwapi.dll", "ws2_32.dll", "rpcrt4.dll", "sechost.dll"}
DELAY_LOADED = {
    "winhttp.dll": {"WinHttpCloseHandle", "WinHttpConnect", "WinHttpCrackUrl", "WinHttpGetDefaultProxyConfiguration",
                    "WinHttpGetIEProxyConfigForCurrentUser",
                    "WinHttpGetProxyForUrl", "WinHttpOpen", "WinHttpOpenRequest", "WinHttpQueryAuthSchemes",
                    "WinHttpQueryDataAvailable", "WinHttpQueryHeaders", "WinHttpReadData", "WinHttpReceiveResponse",
                    "WinHttpSendRequest", "WinHttpSetCredentials", "WinHttpSetOption", "WinHttpSetStatusCallback",
                    "WinHttpSetTimeouts"},
    "bcrypt.dll": {"BCryptCloseAlgorithmProvider", "BCryptCreateHash", "BCryptDestroyHash", "BCryptFinishHash",
                   "BCryptGetProperty", "BCryptHashData", "BCryptOpenAlgorithmProvider"},
    "comctl32.dll": {"InitCommonControlsEx"},
}
WINE_PE_DLLS = "/usr/lib/i386-linux-gnu/wine/i386-windows"
# The shipped file is about 310 KB; this catches it silently doubling.
SIZE_BUDGET = 400 * 1024

pe = None


def setUpModule():
    global pe
    pe = pefile.PE(EXE)


def delay_import_slots(image):
    """DLL name -> [(function name, RVA of its address-table slot)], from the
    delay-import descriptors. GNU ld does not fill the delay-import data
    directory, so when it is empty the 32-byte descriptors (attributes 1, RVA
    of the DLL name) are found by scanning the image for each DLL's name."""
    if hasattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT"):
        base = image.OPTIONAL_HEADER.ImageBase
        return {e.dll.decode().lower(): [(i.name.decode(), i.address - base) for i in e.imports if i.name]
                for e in image.DIRECTORY_ENTRY_DELAY_IMPORT}
    data = image.get_memory_mapped_image()
    entry_size = 4 if image.OPTIONAL_HEADER.Magic == 0x10B else 8
    found = {}
    for dll in DELAY_LOADED:
        for variant in (dll, dll.upper(), dll.capitalize()):
            name_at = data.find(variant.encode() + b"\0")
            if name_at < 0:
                continue
            record = struct.pack("<II", 1, name_at)
            at = data.find(record)
            while at >= 0 and at % 4:
                at = data.find(record, at + 1)
            if at < 0:
                continue
            iat_rva, int_rva = struct.unpack_from("<II", data, at + 12)
            slots = []
            while True:
                thunk = int.from_bytes(data[int_rva:int_rva + entry_size], "little")
                if thunk == 0:
                    break
                slots.append((data[thunk + 2:data.index(b"\0", thunk + 2)].decode(), iat_rva))
                int_rva += entry_size
                iat_rva += entry_size
            found[dll] = slots
    return found


def relocated_rvas(image):
    """RVAs of every absolute address that the loader rebases."""
    kinds = {3, 10}  # IMAGE_REL_BASED_HIGHLOW, IMAGE_REL_BASED_DIR64
    return {r.rva for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []) for r in block.entries
            if r.type in kinds}


_exports = {}


def exported_names(dll):
    """Names that Wine's PE build of the DLL exports (Debian's wine32 installs
    them): the program may ask a system DLL only for names it has."""
    if dll not in _exports:
        path = os.path.join(WINE_PE_DLLS, dll)
        image = pefile.PE(path, fast_load=True)
        image.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
        _exports[dll] = {s.name.decode() for s in image.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
    return _exports[dll]


class ShippedExe(unittest.TestCase):
    def test_pe32_i386_gui_unicode_entry(self):
        self.assertEqual(pe.FILE_HEADER.Machine, 0x14C)            # i386
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x10B)          # PE32
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2)          # Windows GUI
        crt = {i.name.decode() for e in pe.DIRECTORY_ENTRY_IMPORT if e.dll.lower() == b"msvcrt.dll"
               for i in e.imports if i.name}
        # The wide start-up code (wWinMain) takes the wide command line.
        self.assertIn("__wgetmainargs", crt)
        self.assertNotIn("__getmainargs", crt)

    def test_imports_only_known_system_dlls(self):
        imported = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(imported, KNOWN_DLLS)
        for runtime in ("libstdc++", "libgcc", "libwinpthread", "winhttp", "bcrypt", "comctl32", "version"):
            self.assertFalse([d for d in imported if d.startswith(runtime)], runtime)

    def test_other_dlls_are_delay_loaded(self):
        slots = delay_import_slots(pe)
        self.assertEqual({dll: {name for name, _ in functions} for dll, functions in slots.items()}, DELAY_LOADED)

    def test_every_delay_slot_leads_to_a_stub_until_first_call(self):
        # Before its first call a delay slot must hold the address of the
        # stub that loads the DLL; a slot left 0 jumps to address 0.
        base = pe.OPTIONAL_HEADER.ImageBase
        relocated = relocated_rvas(pe)
        data = pe.get_memory_mapped_image()
        for dll, functions in sorted(delay_import_slots(pe).items()):
            for name, slot in functions:
                with self.subTest(dll=dll, function=name):
                    target = struct.unpack_from("<I", data, slot)[0] - base
                    section = pe.get_section_by_rva(target)
                    self.assertTrue(section is not None and section.Characteristics & 0x20000000,
                                    "slot at 0x%x holds 0x%x, not an address in executable code" % (slot, target + base))
                    self.assertIn(slot, relocated, "no base relocation covers the slot")
                    self.assertIn(name, exported_names(dll))

    def test_every_import_names_an_export(self):
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            dll = entry.dll.decode().lower()
            for function in entry.imports:
                with self.subTest(dll=dll, function=function.name):
                    self.assertIsNotNone(function.name, "imported by ordinal")
                    self.assertIn(function.name.decode(), exported_names(dll))
                    # Unbound: the loader finds the name through the slot.
                    slot = pe.get_dword_at_rva(function.address - pe.OPTIONAL_HEADER.ImageBase)
                    self.assertEqual(slot, function.hint_name_table_rva)

    def test_aslr_dep_and_relocations(self):
        characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertTrue(characteristics & 0x0040, "DYNAMIC_BASE")
        self.assertTrue(characteristics & 0x0100, "NX_COMPAT")
        relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
        self.assertGreater(relocations.Size, 0)
        self.assertFalse(pe.FILE_HEADER.Characteristics & 0x0001, "relocations stripped")

    def test_no_time_stamp(self):
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0)

    def resources(self, type_id):
        for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id == type_id:
                return {(e.id, e.name and str(e.name)): e for e in entry.directory.entries}
        return {}

    def resource_data(self, entry):
        language = entry.directory.entries[0]
        return pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)

    def test_icon_group_101_with_six_sizes(self):
        groups = self.resources(pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
        self.assertEqual(list(groups), [(101, None)])
        data = self.resource_data(groups[(101, None)])
        count = struct.unpack_from("<HHH", data)[2]
        sizes = sorted((data[6 + 14 * i] or 256) for i in range(count))
        self.assertEqual(sizes, [16, 32, 48, 64, 128, 256])
        self.assertEqual(len(self.resources(pefile.RESOURCE_TYPE["RT_ICON"])), 6)

    def test_version_block(self):
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
        strings, translations = {}, []
        for info in pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    self.assertEqual(table.LangID, b"040904B0")
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            if info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations += list(var.entry.values())
        for key, value in {"FileDescription": "TAVRO Static Module Web Installer",
                           "ProductName": "TAVRO Static Module",
                           "InternalName": "TAVRO.StaticModule.Installer",
                           "OriginalFilename": "TAVRO-Static-Module-Installer.exe",
                           "FileVersion": "1.0.0.0", "ProductVersion": "1.0.0.0"}.items():
            self.assertEqual(strings.get(key), value, key)
        self.assertEqual(translations, ["0x0409 0x04b0"])

    def test_manifest_is_only_as_invoker(self):
        manifests = self.resources(pefile.RESOURCE_TYPE["RT_MANIFEST"])
        self.assertEqual(list(manifests), [(1, None)])
        xml = self.resource_data(manifests[(1, None)]).decode("utf-8")
        self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', xml)
        for absent in ("dependency", "Common-Controls", "dpiAware", "dpiAwareness", "supportedOS"):
            self.assertNotIn(absent, xml)

    def test_size_budget(self):
        # A signed file carries its certificate table at the end; the budget
        # is for the program.
        signature = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size
        size = os.path.getsize(EXE) - signature
        print("\nshipped .exe: %d bytes (budget %d) + %d bytes of signature" % (size, SIZE_BUDGET, signature),
              file=sys.stderr)
        self.assertLessEqual(size, SIZE_BUDGET)


if __name__ == "__main__":
    unittest.main(verbosity=2)
