#!/usr/bin/env python3
"""Checks the portable archives as a user unpacks them: the files that must be
there and nothing else, each program built for its archive's processor, with
our version resource and no path of the machine that built it, needing only
DLLs that every Windows has; the texts a
Windows user opens; the names as Debian's unzip writes them."""
import os, re, subprocess, sys, tempfile, zipfile

release, version, source = sys.argv[1], sys.argv[2], sys.argv[3]
PROGRAMS = ["quillmoth.exe", "streamreader.dll", "streamsplitter.dll",
            "quillmoth-filters.exe", "tsdump.exe", "broadcast.exe"]
EXPECTED = sorted(["Quillmoth/" + n for n in PROGRAMS + ["config.ini", "filters.qmf", "ПРОЧТИ.txt",
                                                         "LICENSE.txt", "tmp/", "ok/"]])
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "comctl32.dll",
               "ole32.dll", "ws2_32.dll", "winmm.dll", "msvcrt.dll"}
MACHINES = {"win64": 0x8664, "win32": 0x14C}
failures = []

def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)

def resource_string(data, key):
    at = data.find((key + "\0").encode("utf-16le"))
    if at < 0:
        return None
    at += 2 * (len(key) + 1)
    while data[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16le")

for arch, machine in MACHINES.items():
    name = f"Quillmoth-{version}-{arch}.zip"
    with zipfile.ZipFile(os.path.join(release, name)) as archive, tempfile.TemporaryDirectory() as scratch:
        check(sorted(archive.namelist()) == EXPECTED, f"{name}: holds exactly {len(EXPECTED)} entries")
        # Unpacked as on Debian, by Info-ZIP's unzip, which has its own idea of
        # how a name is encoded.
        subprocess.run(["unzip", "-q", os.path.join(release, name), "-d", scratch], check=True,
                       env=dict(os.environ, LC_ALL="C.UTF-8"))
        folder = os.path.join(scratch, "Quillmoth")
        check(sorted(os.listdir(folder)) == sorted(n[len("Quillmoth/"):].rstrip("/") for n in EXPECTED),
              f"{name}: unzip writes every name as it is, ПРОЧТИ.txt too")
        for program in PROGRAMS:
            path = os.path.join(folder, program)
            data = open(path, "rb").read()
            pe = int.from_bytes(data[0x3C:0x40], "little")
            check(int.from_bytes(data[pe + 4:pe + 6], "little") == machine, f"{name}: {program} is built for {arch}")
            dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True, text=True).stdout
            imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
            check(imports and imports <= SYSTEM_DLLS, f"{name}: {program} imports only system DLLs {sorted(imports - SYSTEM_DLLS)}")
            check(resource_string(data, "ProductName") == "Quillmoth" and
                  resource_string(data, "FileVersion") == version and
                  resource_string(data, "OriginalFilename") == program, f"{name}: {program} has our version resource")
            check(source.encode() not in data, f"{name}: {program} holds no path of the build machine")
        readme = open(os.path.join(folder, "ПРОЧТИ.txt"), "rb").read()
        check(readme.startswith(b"\xef\xbb\xbf") and f"Quillmoth {version}" in readme.decode("utf-8-sig")
              and b"\r\n" in readme and b"\n" not in readme.replace(b"\r\n", b""),
              f"{name}: ПРОЧТИ.txt is UTF-8 with a BOM and CR LF, and names the version")
        config = open(os.path.join(folder, "config.ini"), "rb").read().decode("ascii")
        keys = dict(line.split(" = ", 1) for line in config.split("\r\n") if line)
        check(len(keys) == 22 and keys["tmp_dir"] == "tmp\\" and keys["ok_dir"] == "ok\\",
              f"{name}: config.ini has every key, with tmp\\ and ok\\ beside the program")
        check(open(os.path.join(folder, "filters.qmf"), "rb").read() ==
              bytes.fromhex("00000000 0000004e 0000004c 00000000 ffffffff".replace(" ", "")),
              f"{name}: filters.qmf admits every object of any size")

sums = open(os.path.join(release, "SHA256SUMS")).read().split("\n")
for line in filter(None, sums):
    digest, file = line.split()
    actual = subprocess.run(["sha256sum", os.path.join(release, file)], capture_output=True, text=True).stdout.split()[0]
    check(actual == digest, f"SHA256SUMS: {file}")
sys.exit(1 if failures else 0)
