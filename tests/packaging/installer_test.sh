#!/bin/sh
# The Windows installer from outside, in a fresh Wine prefix: folders refused
# (one it cannot write, one of someone else's files, a second one beside the
# installation), a silent installation into a folder with a space, the
# installed program receiving the sample, an upgrade over the user's changes
# and a foreign plug-in, the silent uninstallation with and without the
# settings and received files, and one over an earlier installation among the
# user's own files. One line per check; stops at the first failure.
#
# Usage: installer_test.sh SETUP_EXE CLOSE_BIN SAMPLE_TS SAMPLES SCRATCH
#   SETUP_EXE  the installer built with -DTARGET=amd64-unicode when Wine runs
#              64-bit programs only (the same script as the 32-bit one)
#   CLOSE_BIN  where quillmoth-close.exe is;  SAMPLE_TS  the sample capture
#   SAMPLES    the samples folder (its files/ are what the capture carries)
# Needs an X display (DISPLAY).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../window_support.sh"
# bin: where close_program finds quillmoth-close.exe.
setup=$(absolute "$1") bin=$(absolute "$2") capture=$(absolute "$3") samples=$(absolute "$4")
rm -rf "$5" && mkdir -p "$5" && scratch=$(absolute "$5")
prefix="$scratch/prefix"
runner="$here/../../cmake/wine-run $prefix"
# Whatever a failed check leaves running in the prefix ends with the test.
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT
# No menu entries on this machine for the shortcuts made in the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
win_dir='C:\Some Folder\Quillmoth'
dir="$prefix/drive_c/Some Folder/Quillmoth"
# NSIS reads /D= from the raw command line, to its end and unquoted, as a user
# types it: given in two words, Wine joins them with a space and no quotes.
install() { $runner "$setup" /S "/D=${win_dir% *}" "${win_dir##* }" >/dev/null 2>&1; }
programs="quillmoth.exe quillmoth-filters.exe tsdump.exe broadcast.exe streamreader.dll streamsplitter.dll"

ok() { printf 'ok: %s\n' "$*"; }
# listing DIR: every name under DIR and every file's sum: whether anything there changed.
listing() { (cd "$1" && find . -type d | LC_ALL=C sort && find . -type f -exec md5sum {} + | LC_ALL=C sort); }
# user_folder DIR: someone's settings, log and files in tmp\ and ok\.
user_folder() {
    mkdir -p "$1/tmp" "$1/ok"
    printf '[other]\r\nkey = 1\r\n' >"$1/config.ini"
    echo "another program's log" >"$1/log.txt"
    echo partial >"$1/tmp/part.bin" && echo theirs >"$1/ok/report.pdf"
}
fail() { printf 'FAILED: %s\n' "$*"; exit 1; }
wine_wait() { WINEPREFIX="$prefix" wineserver -w; }
# reg_value NAME: a value of the uninstall key as user.reg stores it.
reg_value() {
    python3 - "$prefix/user.reg" "$1" <<'PY'
import sys
section, found = '[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Quillmoth]', False
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    if line.startswith("["):
        found = line.startswith(section)
    elif found and line.startswith('"%s"=' % sys.argv[2]):
        print(line.split("=", 1)[1].strip().replace("\\\\", "\\"))
PY
}
# lnk_fields FILE: the shortcut's target and working folder, one a line.
lnk_fields() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", data, 0x14)[0]
pos, target = 0x4C, ""
if flags & 0x01: pos += 2 + struct.unpack_from("<H", data, pos)[0]
if flags & 0x02:
    size, header, _, _, base = struct.unpack_from("<5I", data, pos)
    if base: target = data[pos + base:data.index(b"\0", pos + base)].decode("cp1251")
    pos += size
strings = []
for bit in (0x04, 0x08, 0x10, 0x20, 0x40):
    if flags & bit:
        count = struct.unpack_from("<H", data, pos)[0]
        text = data[pos + 2:pos + 2 + 2 * count] if flags & 0x80 else data[pos + 2:pos + 2 + count]
        strings.append((bit, text.decode("utf-16-le" if flags & 0x80 else "cp1251")))
        pos += 2 + (2 * count if flags & 0x80 else count)
print(target)
print(dict(strings).get(0x10, ""))
PY
}

# 1. Silent installation: not where it cannot write; into a folder with a space.
status=0
$runner "$setup" /S '/D=Z:\proc\Quillmoth' >/dev/null 2>&1 || status=$?
wine_wait
[ "$status" -eq 2 ] && [ -z "$(reg_value DisplayName)" ] || fail "setup.exe into Z:\proc ended with status $status"
ok "setup refuses a folder it cannot write"
user_folder "$prefix/drive_c/Receiver"
before=$(listing "$prefix/drive_c/Receiver")
status=0
$runner "$setup" /S '/D=C:\Receiver' >/dev/null 2>&1 || status=$?
wine_wait
[ "$status" -eq 2 ] && [ "$(listing "$prefix/drive_c/Receiver")" = "$before" ] && [ -z "$(reg_value DisplayName)" ] \
    || fail "setup.exe into a folder of other files ended with status $status, or wrote there"
ok "setup refuses a folder of other files and writes nothing there"
install || fail "setup.exe /S ended with status $?"
wine_wait
for f in $programs config.ini filters.qmf ПРОЧТИ.txt LICENSE.txt uninstall.exe; do
    [ -f "$dir/$f" ] || fail "not installed: $f"
done
[ -d "$dir/tmp" ] && [ -d "$dir/ok" ] || fail "tmp\\ or ok\\ not made"
ok "silent installation into $win_dir"
[ "$(reg_value DisplayName)" = '"Quillmoth"' ] || fail "DisplayName: $(reg_value DisplayName)"
[ "$(reg_value InstallLocation)" = "\"$win_dir\"" ] || fail "InstallLocation: $(reg_value InstallLocation)"
[ "$(reg_value QuietUninstallString)" = "\"\\\"$win_dir\\uninstall.exe\\\" /S\"" ] \
    || fail "QuietUninstallString: $(reg_value QuietUninstallString)"
size=$(reg_value EstimatedSize | sed 's/^dword://')
kib=$(( ($(cat "$dir"/*.exe "$dir"/*.dll "$dir"/*.txt "$dir"/config.ini "$dir"/filters.qmf | wc -c) + 1023) / 1024 ))
[ -n "$size" ] && [ $((0x$size)) -ge "$kib" ] && [ $((0x$size)) -le $((kib + 8)) ] \
    || fail "EstimatedSize $size is not the installed files' $kib KiB"
for name in DisplayVersion Publisher DisplayIcon UninstallString NoModify NoRepair; do
    [ -n "$(reg_value $name)" ] || fail "uninstall key without $name"
done
ok "uninstall key"
lnk=$(find "$prefix/drive_c/users" -name Quillmoth.lnk | head -n 1)
[ -n "$lnk" ] || fail "no Start-menu shortcut"
fields=$(lnk_fields "$lnk")
[ "$fields" = "$(printf '%s\n%s' "$win_dir\\quillmoth.exe" "$win_dir")" ] \
    || fail "shortcut target and working folder: $(printf '%s' "$fields" | tr '\n' '|')"
ok "shortcut to quillmoth.exe, working in the installation folder"
status=0
$runner "$setup" /S '/D=C:\Second' >/dev/null 2>&1 || status=$?
wine_wait
[ "$status" -eq 2 ] && [ ! -e "$prefix/drive_c/Second" ] && [ "$(reg_value InstallLocation)" = "\"$win_dir\"" ] \
    || fail "setup.exe into a second folder ended with status $status, or took the entry"
ok "setup refuses a second folder while the installation exists"

# 2. The installed program receives the sample, started as the shortcut does.
use_capture "$dir" "$capture" 0
total=$(ls "$samples/files" | wc -l)
locales=$(sh "$here/../../cmake/russian-locale" "$scratch/locales")
# shellcheck disable=SC2086
(cd "$dir" && LOCPATH=$locales LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 exec $runner "$win_dir\\quillmoth.exe") \
    >"$scratch/output.txt" 2>&1 &
program=$!
wait_for_finished "$dir" "$total" 60 || fail "only $(finished_count "$dir") of $total files received"
for f in "$samples"/files/*; do
    got=$(received_copy "$dir/ok" "$f")
    [ -n "$got" ] && cmp -s "$f" "$dir/ok/$got" || fail "not received whole: $(basename "$f")"
done
ok "the installed program received the $total sample files byte-identical"
status=0
install || status=$?
[ "$status" -eq 2 ] || fail "setup.exe over the running program ended with status $status, not 2"
ok "setup refuses to run while the program runs"
close_program 10
end_program
[ "$close_status" -eq 0 ] && [ "$program_status" -eq 0 ] \
    || fail "not closed by quillmoth-close (status $close_status, exit $program_status): $close_report"
ok "closed by quillmoth-close"
wine_wait

# 3. An upgrade keeps the user's files and a foreign plug-in, updates ours.
sed -i 's/^timeout = .*/timeout = 77/' "$dir/config.ini"
echo '# mine' >> "$dir/filters.qmf"
cp "$dir/config.ini" "$dir/filters.qmf" "$dir/uninstall.exe" "$scratch/"
cp "$prefix/drive_c/windows/system32/version.dll" "$dir/streamreader.dll"
cp "$dir/streamreader.dll" "$scratch/foreign.dll"
for f in quillmoth.exe streamsplitter.dll; do cp "$dir/$f" "$scratch/$f"; echo stale >> "$dir/$f"; done
install || fail "second setup.exe /S ended with status $?"
wine_wait
for f in config.ini filters.qmf; do cmp -s "$dir/$f" "$scratch/$f" || fail "the user's $f not kept"; done
cmp -s "$dir/streamreader.dll" "$scratch/foreign.dll" || fail "the foreign streamreader.dll was replaced"
for f in quillmoth.exe streamsplitter.dll; do cmp -s "$dir/$f" "$scratch/$f" || fail "$f not updated"; done
[ "$(finished_count "$dir")" -eq "$total" ] || fail "received files lost by the upgrade"
ok "upgrade keeps config.ini, filters.qmf, ok\\ and the foreign plug-in; updates ours"

# 4. Silent uninstallation.
$runner "$win_dir\\uninstall.exe" /S >/dev/null 2>&1 || fail "uninstall.exe /S ended with status $?"
wine_wait
for f in $programs uninstall.exe ПРОЧТИ.txt; do
    [ "$f" = streamreader.dll ] && continue
    [ ! -e "$dir/$f" ] || fail "left after uninstallation: $f"
done
[ ! -e "$lnk" ] || fail "shortcut left after uninstallation"
[ -z "$(reg_value DisplayName)" ] || fail "uninstall key left after uninstallation"
for f in config.ini filters.qmf; do cmp -s "$dir/$f" "$scratch/$f" || fail "uninstallation lost $f"; done
cmp -s "$dir/streamreader.dll" "$scratch/foreign.dll" || fail "uninstallation removed the foreign plug-in"
[ "$(finished_count "$dir")" -eq "$total" ] || fail "uninstallation removed received files"
ok "silent uninstallation removes the program, keeps the user's files and the foreign plug-in"

# 5. Installed again over what was kept; then the settings and received files
# go too, and the foreign plug-in stays (with the record that says whose it is).
install || fail "setup.exe over the kept settings ended with status $?"
wine_wait
$runner "$win_dir\\uninstall.exe" /S /PURGE >/dev/null 2>&1 || fail "uninstall.exe /S /PURGE ended with status $?"
wine_wait
left=$(ls -A "$dir" | tr '\n' ' ')
[ "$left" = "quillmoth-install.ini streamreader.dll " ] || fail "left after uninstall.exe /PURGE: $left"
cmp -s "$dir/streamreader.dll" "$scratch/foreign.dll" || fail "uninstall.exe /PURGE removed the foreign plug-in"
ok "reinstallation over the kept files; uninstallation with them keeps only the foreign plug-in"

# 6. Over an earlier installation that kept no record (its uninstaller tells
# it), among the user's own settings, log and tmp\ and ok\ files: they were
# there before, so not even /PURGE takes them.
old="$prefix/drive_c/Old"
user_folder "$old"
before=$(listing "$old")
cp "$scratch/uninstall.exe" "$old/"
$runner "$setup" /S '/D=C:\Old' >/dev/null 2>&1 || fail "setup.exe over an earlier installation ended with status $?"
wine_wait
[ -f "$old/quillmoth.exe" ] || fail "not installed over an earlier installation"
$runner 'C:\Old\uninstall.exe' /S /PURGE >/dev/null 2>&1 || fail "uninstall.exe /S /PURGE ended with status $?"
wine_wait
rm -f "$old/quillmoth-install.ini"
[ "$(listing "$old")" = "$before" ] || fail "uninstallation over the user's files left: $(ls -A "$old" | tr '\n' ' ')"
ok "uninstallation with the settings keeps what was in the folder before the installation"
