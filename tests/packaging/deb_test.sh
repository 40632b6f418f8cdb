#!/bin/sh
# The Debian package as a user gets it: its fields and files, lintian, the
# service unit, the user and folders postinst makes (as root), and the
# extracted programs receiving the sample files with the packaged settings,
# then stopping on SIGTERM as the service does.
#
# Usage: deb_test.sh PACKAGE.deb SCRATCH
set -eu
deb=$1 scratch=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
samples=$here/samples
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; exit 1; }

version=$(sed -n 's/^set(QM_VERSION "\(.*\)")$/\1/p' "$here/cmake/version.cmake")
arch=$(dpkg --print-architecture)
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillmoth ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture), not $arch"
[ "$(basename "$deb")" = "quillmoth_${version}_$arch.deb" ] || fail "file name $(basename "$deb")"
for dep in adduser libc6 zlib1g; do
    field Depends | grep -q "\\b$dep\\b" || fail "Depends lacks $dep: $(field Depends)"
done
[ -n "$(field Maintainer)" ] && [ -n "$(field Section)" ] || fail "no Maintainer or Section"
ok "fields: quillmoth $version $arch, Depends $(field Depends)"

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"
plugins=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)/quillmoth
for f in usr/bin/quillmoth-headless usr/bin/quillmoth-filters usr/bin/tsdump usr/bin/broadcast \
         "$plugins/streamreader.so" "$plugins/streamsplitter.so" lib/systemd/system/quillmoth-headless.service \
         lib/systemd/system/quillmoth-headless@.service \
         etc/quillmoth/config.ini etc/quillmoth/filters.qmf etc/quillmoth/streamsplitter.ini \
         usr/share/doc/quillmoth/copyright usr/share/doc/quillmoth/changelog.gz \
         usr/share/man/man1/quillmoth-headless.1.gz usr/share/man/man1/quillmoth-filters.1.gz \
         usr/share/man/man1/tsdump.1.gz usr/share/man/man1/broadcast.1.gz; do
    [ -f "$root/$f" ] || fail "missing /$f"
done
ok "contents: programs, plug-ins in /$plugins, units, settings, man pages, copyright, changelog"
printf '/etc/quillmoth/%s\n' config.ini filters.qmf streamsplitter.ini | cmp -s - "$scratch/control/conffiles" ||
    fail "conffiles: $(cat "$scratch/control/conffiles")"
for s in postinst prerm postrm; do
    [ -x "$scratch/control/$s" ] && sh -n "$scratch/control/$s" || fail "maintainer script $s"
done
ok "conffiles: the three files in /etc/quillmoth; maintainer scripts parse"

if command -v lintian >/dev/null; then
    lintian --pedantic "$deb" > "$scratch/lintian.txt" 2>&1 || true
    sed 's/^/  lintian: /' "$scratch/lintian.txt"
    ! grep -q '^E:' "$scratch/lintian.txt" || fail "lintian reports errors"
    ok "lintian: no errors"
else
    echo "skip: lintian is not installed"
fi

# verify needs the ExecStart program where the unit says it is: a copy of the
# unit names the extracted one. verify warns without failing, so any output
# fails here. The template is checked as an instance of it.
if command -v systemd-analyze >/dev/null; then
    mkdir "$scratch/unit"
    for unit in quillmoth-headless.service quillmoth-headless@.service; do
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/lib/systemd/system/$unit" > "$scratch/unit/$unit"
    done
    for unit in quillmoth-headless.service quillmoth-headless@pid256.service; do
        out=$(systemd-analyze verify --man=no "$scratch/unit/$unit" 2>&1) || fail "verify $unit: $out"
        [ -z "$out" ] || fail "systemd-analyze verify $unit: $out"
    done
    grep -qx 'Type=notify' "$scratch/unit/quillmoth-headless@.service" &&
        grep -qx 'WorkingDirectory=/etc/quillmoth/%i' "$scratch/unit/quillmoth-headless@.service" ||
        fail "the template is not a notifying service in its instance's folder"
    ok "systemd-analyze verify: the unit and an instance of the template are clean"
else
    echo "skip: systemd-analyze is not available"
fi

# postinst with this machine's adduser and chown, in a mount namespace with a
# copy of /etc and empty /var/lib, /var/log and /run: the machine's own users
# and folders stay untouched and no systemd is seen. The second run finds a
# quillmoth user without a quillmoth group, and folders owned the wrong way.
# postinst comes on standard input: the scratch folder may be under /var/lib.
sys=$scratch/system
inside() { unshare --mount --propagation private sh -ec 'for d in etc var/lib var/log run; do
    mount --bind "$0/$d" "/$d"; done; exec "$@"' "$sys" "$@"; }
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    for case in new existing; do
        rm -rf "$sys" && mkdir -p "$sys/var/lib" "$sys/var/log" "$sys/run" && cp -a /etc "$sys/etc"
        if [ $case = existing ]; then
            inside adduser --quiet --system --no-create-home quillmoth
            mkdir -p "$sys/var/lib/quillmoth/tmp" "$sys/var/lib/quillmoth/ok"
            inside chown quillmoth: /var/lib/quillmoth
        fi
        inside env DPKG_MAINTSCRIPT_PACKAGE=quillmoth DPKG_MAINTSCRIPT_NAME=postinst sh -s configure "" \
            < "$scratch/control/postinst" > "$scratch/postinst.txt" 2>&1 ||
            fail "postinst ($case user): $(cat "$scratch/postinst.txt")"
        [ "$(stat -c %u "$sys/var/lib/quillmoth")" -eq 0 ] || fail "$case user: /var/lib/quillmoth is not root's"
        inside runuser -u quillmoth -- sh -c 'cd /var/lib/quillmoth && touch tmp/w ok/w /var/log/quillmoth/w &&
            ! ln -sf /dev/null config.ini 2>/dev/null' || fail "$case user: the service's writable folders are wrong"
    done
    ok "postinst: a new user and an existing one without its group; only tmp, ok and the log folder are the service's"
else
    echo "skip: postinst needs root and mount namespaces"
fi

# A working folder like the service's: its settings are links to the
# packaged ones (with the folders moved into the scratch folder), and no
# plug-in is beside the program or in the folder.
etc=$scratch/etc work=$scratch/work
mkdir -p "$etc" "$work/tmp" "$work/ok"
cp "$root/etc/quillmoth/filters.qmf" "$etc/"
sed "s|/var/lib/quillmoth/|$work/|" "$root/etc/quillmoth/config.ini" > "$etc/config.ini"
port=$(( 20000 + $$ % 20000 ))
sed "s/^port = .*/port = $port/" "$root/etc/quillmoth/streamsplitter.ini" > "$etc/streamsplitter.ini"
for f in config.ini filters.qmf streamsplitter.ini; do ln -s "$etc/$f" "$work/$f"; done
cp "$etc/config.ini" "$scratch/config.before"
[ ! -e "$root/usr/bin/streamreader.so" ] || fail "a plug-in beside the program"
headless=$root/usr/bin/quillmoth-headless
received() {
    for f in "$samples"/files/*; do
        name=$(basename "$f")
        got=$(ls "$work/ok" | grep -F "${name%.*} (" | grep -F ".${name##*.}" | head -n 1 || true)
        [ -n "$got" ] && cmp -s "$f" "$work/ok/$got" || { cat "$scratch/output.txt"; fail "$1: $name not received whole"; }
    done
    rm -rf "$work/ok"/*
}

# The packaged settings as they are: the splitter on every local address.
(cd "$work" && exec "$headless" --exit-when-idle 4) > "$scratch/output.txt" 2>&1 &
receiver=$!
sleep 2
"$root/usr/bin/broadcast" --interleave --udp "127.0.0.1:$port" --rate-kbps 8000 "$samples"/files/* >/dev/null 2>&1
wait $receiver || { cat "$scratch/output.txt"; fail "quillmoth-headless with the packaged settings"; }
received "packaged settings"
[ -L "$work/config.ini" ] && [ -L "$work/filters.qmf" ] && cmp -s "$etc/config.ini" "$scratch/config.before" ||
    fail "the run changed config.ini or replaced a link"
ok "packaged settings: every sample file over UDP through /$plugins/streamsplitter.so; config.ini untouched"

sed -i 's/^use_spl = 1/use_spl = 0/' "$etc/config.ini"
"$root/usr/bin/broadcast" --interleave -o "$scratch/sample.ts" "$samples"/files/* >/dev/null 2>&1
printf 'capture = %s\r\nrate_kbps = 0\r\n' "$scratch/sample.ts" > "$work/streamreader.ini"
(cd "$work" && "$headless" --exit-when-idle 3) > "$scratch/output.txt" 2>&1 ||
    { cat "$scratch/output.txt"; fail "quillmoth-headless with the reader"; }
received "capture"
ok "capture: every sample file byte-identical through /$plugins/streamreader.so"

# The filter set is edited through the working folder's link.
(cd "$work" && "$root/usr/bin/quillmoth-filters" add --extension zip --min 0 --max 100 >/dev/null)
[ -L "$work/filters.qmf" ] && [ "$(wc -c < "$etc/filters.qmf")" -eq 40 ] || fail "quillmoth-filters add via the link"
ok "quillmoth-filters edits the linked filter set in place"

# SIGTERM in the middle of reception: exit 0, a counter report, no partial
# file in ok, nothing left in tmp.
printf 'capture = %s\r\nrate_kbps = 20\r\n' "$scratch/sample.ts" > "$work/streamreader.ini"
(cd "$work" && exec "$headless") > "$scratch/output.txt" 2>&1 &
receiver=$!
sleep 3
kill -TERM $receiver
status=0
wait $receiver || status=$?
[ $status -eq 0 ] && grep -q "сохранено" "$scratch/output.txt" || { cat "$scratch/output.txt"; fail "SIGTERM: exit $status"; }
placed=0
for got in "$work/ok"/*; do
    [ -e "$got" ] || continue
    placed=$((placed + 1))
    whole=no
    for f in "$samples"/files/*; do cmp -s "$f" "$got" && whole=yes; done
    [ $whole = yes ] || fail "SIGTERM left a partial file: $got"
done
[ -z "$(ls -A "$work/tmp")" ] || fail "SIGTERM left files in tmp: $(ls "$work/tmp")"
ok "SIGTERM: exit 0, $placed whole files placed, tmp empty"
