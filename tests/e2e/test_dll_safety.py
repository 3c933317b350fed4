"""No DLL planting: Zelk.exe imports the usual way only Windows' known DLLs (the
loader takes those from the system folder), delay-loads the others from the system
folder only, and so loads no DLL planted beside it in a download folder.

Wine loads its own builtin DLLs whatever lies beside a program, unless
WINEDLLOVERRIDES asks for a native one first ("n,b"): then it follows Windows' search
order, and a DLL planted beside the program is loaded. These tests ask for that.

What Wine cannot show: its own builtin DLLs load their dependencies without the
process's restriction to the system folder. Its winhttp.dll delay-loads crypt32.dll when
a request ends, and crypt32.dll imports bcrypt.dll, so during a download a planted
crypt32 or bcrypt is loaded by Wine's WinHTTP, never by Zelk (on Windows, system DLLs
resolve their own dependencies from the system folder). So the install plants winhttp
and gdiplus, a run without network plants bcrypt (hashing its own copy), and crypt32,
which Zelk uses only after a download, rests on the import table.
"""

import shutil
import struct

from conftest import STANDIN, windows_temp
from harness import BUILD_DIR, SOURCE_DIR, ZELK_EXE, install_whole, log_messages, run
from test_normal import lower_case_root  # noqa: F401  (a fixture)

PLANTED = BUILD_DIR / "tests" / "e2e" / "planted.dll"
STATIC_IMPORT = BUILD_DIR / "tests" / "e2e" / "static_import.exe"
ICON = (SOURCE_DIR / "resources" / "zelk.ico").read_bytes()

# Not known DLLs, all used by a normal run: WinHTTP, GDI+, CNG and CryptoAPI.
NOT_KNOWN = ["winhttp", "gdiplus", "bcrypt", "crypt32"]
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows 10 and 11
# (gdiplus, listed on some builds, left out: it must not count on it).
KNOWN_DLLS = {name + ".dll" for name in """
    advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 imagehlp imm32
    kernel32 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi
    shcore shell32 shlwapi user32 wldap32 wow64 wow64win ws2_32""".split()}
NATIVE_FIRST = {"WINEDLLOVERRIDES": ",".join(NOT_KNOWN) +
                "=n,b;mscoree,mshtml,winemenubuilder.exe="}


class PortableExecutable:
    """The import table of a 64-bit Windows program."""

    def __init__(self, path):
        self.data = path.read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        assert self.data[pe:pe + 4] == b"PE\0\0"
        sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        assert struct.unpack_from("<H", self.data, optional)[0] == 0x20B, "not PE32+"
        self.directories = [struct.unpack_from("<II", self.data, optional + 112 + 8 * i)
                            for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw
        raise AssertionError(f"RVA {rva:#x} in no section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii").lower()

    def imports(self):
        rva, _ = self.directories[1]
        names, at = [], self.offset(rva)
        while any(self.data[at:at + 20]):
            names.append(self.text(struct.unpack_from("<12xI", self.data, at)[0]))
            at += 20
        return names

    def names_dll(self, name):
        """Whether the image holds the name as the text of a DLL to load (GNU ld leaves
        the delay-import directory empty: the descriptors are there, not listed)."""
        return b"\0" + name.encode() + b"\0" in self.data.lower()


def test_only_known_dlls_are_imported_the_usual_way():
    exe = PortableExecutable(ZELK_EXE)
    imported = exe.imports()
    assert "kernel32.dll" in imported and "user32.dll" in imported  # the table was read
    assert [name for name in imported if name not in KNOWN_DLLS] == []
    # Still used, so delay-loaded.
    assert all(exe.names_dll(name + ".dll") for name in NOT_KNOWN)


def plant(folder, names=NOT_KNOWN):
    for name in names:
        shutil.copyfile(PLANTED, folder / f"{name}.dll")


def markers(folder):
    return sorted(p.name.lower() for p in folder.glob("*.planted"))


def test_the_fault_shows_under_wine(tmp_path):
    """The control: a program that imports these DLLs the usual way loads the planted
    copies beside it, before its first line."""
    plant(tmp_path)
    program = tmp_path / "static_import.exe"
    shutil.copyfile(STATIC_IMPORT, program)
    assert run([], exe=program, env=NATIVE_FIRST).returncode == 0
    assert markers(tmp_path) == sorted(f"{name}.dll.planted" for name in NOT_KNOWN)


def test_a_download_folder_with_planted_dlls(user_root, releases, builtin_servers, record,
                                             tmp_path):
    """A first install from a Downloads folder holding planted DLLs: the splash and the
    download use each one, none from there."""
    downloads = tmp_path / "Downloads"
    downloads.mkdir()
    exe = downloads / "Zelk.exe"
    shutil.copyfile(ZELK_EXE, exe)
    plant(downloads, ["winhttp", "gdiplus"])
    releases.publish({"ZelkLauncher.exe": STANDIN.read_bytes(), "zelk.ico": ICON})
    builtin_servers()
    assert run([], exe=exe, env={**record.env, **NATIVE_FIRST}).returncode == 0
    assert len(record.wait(1)) == 1
    assert (user_root / "Zelk Application Data" / "app" / "ZelkLauncher.exe").exists()
    assert markers(downloads) == []


def test_a_run_without_network_hashing_with_planted_bcrypt(user_root, record, tmp_path):
    """Run again from the Downloads folder, with automatic updates off: Zelk compares its
    own image with the installed copy (SHA-256, CNG) and starts the launcher."""
    downloads = tmp_path / "Downloads"
    downloads.mkdir()
    exe = downloads / "Zelk.exe"
    shutil.copyfile(ZELK_EXE, exe)
    plant(downloads, ["bcrypt", "gdiplus"])
    user_root.mkdir()
    shutil.copyfile(ZELK_EXE, user_root / "Zelk.exe")
    app = install_whole(user_root, STANDIN.read_bytes())["app"]
    (app / "zelk.ico").write_bytes(ICON)  # its copy's name is a digest too
    settings = user_root / "Zelk Application Data" / "data" / "launcher-settings.json"
    settings.parent.mkdir(parents=True)
    settings.write_text('{"autoUpdate": false}')
    assert run([], exe=exe, env={**record.env, **NATIVE_FIRST}).returncode == 0
    assert len(record.wait(1)) == 1
    assert len(list((settings.parent / "icones").glob("zelk-*.ico"))) == 1
    assert markers(downloads) == []


def test_the_rename_copy_runs_away_from_dlls_planted_in_the_temporary_folder(
        lower_case_root, releases, builtin_servers, record):
    """The folder-rename copy runs from the temporary folder: in a new folder of its own,
    so DLLs planted in the temporary folder itself are never beside it."""
    temp = windows_temp()
    plant(temp)
    try:
        releases.publish({"ZelkLauncher.exe": STANDIN.read_bytes(), "zelk.ico": ICON})
        builtin_servers()
        exe = lower_case_root / "Zelk.exe"
        assert run([], exe=exe, env={**record.env, **NATIVE_FIRST}).returncode == 0
        assert len(record.wait(1)) == 1
        assert any("mode folder rename" in m for m in log_messages(lower_case_root))
        assert markers(temp) == []
    finally:
        for name in NOT_KNOWN:
            (temp / f"{name}.dll").unlink(missing_ok=True)
            (temp / f"{name}.dll.planted").unlink(missing_ok=True)
