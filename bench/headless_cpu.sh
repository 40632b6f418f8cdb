#!/bin/sh
# The receiver's processor cost at a real-time rate: our broadcaster makes a
# capture of mixed files (half text, half random), the headless receiver
# replays it endlessly through the streamreader plug-in at RATE kbit/s, and
# the CPU time (user + system) it used over SECONDS of stream, after a second
# of start-up, is printed per second of stream.
#
# Usage: bench/headless_cpu.sh [BUILD_DIR [SECONDS [RATE_KBPS [INTERLEAVE]]]]
#   BUILD_DIR   default build/native-release
#   SECONDS     default 15
#   RATE_KBPS   default 40000
#   INTERLEAVE  1 (default) round-robins the objects' datagrams, 0 sends one
#               object after another
set -eu
build=${1:-build/native-release}
seconds=${2:-15}
rate=${3:-40000}
interleave=${4:-1}

absolute() { (cd "$1" && pwd); }
build=$(absolute "$build")
source=$(absolute "$(dirname "$0")/..")
[ -x "$build/bin/quillmoth-headless" ] && [ -x "$build/tools/broadcast" ] || {
    echo "build $build first (quillmoth-headless, broadcast)" >&2
    exit 2
}
root=${TMPDIR:-/tmp}
[ -d /dev/shm ] && root=/dev/shm
work=$(mktemp -d "$root/quillmoth-cpu.XXXXXX")
receiver=""
cleanup() {
    [ -n "$receiver" ] && kill "$receiver" 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
[ -n "${KEEP:-}" ] && echo "work in $work" >&2
trap cleanup EXIT INT TERM

mkdir -p "$work/files" "$work/run/tmp" "$work/run/ok"
# 16 files of 1.5 MB: text that deflates well and bytes that do not.
i=0
while [ $i -lt 16 ]; do
    if [ $((i % 2)) -eq 0 ]; then
        yes "the receiver takes every datagram of the carousel $i" | head -c 1500000 > "$work/files/text$i.txt"
    else
        head -c 1500000 /dev/urandom > "$work/files/data$i.bin"
    fi
    i=$((i + 1))
done
mode=""
[ "$interleave" = 1 ] && mode=--interleave
# shellcheck disable=SC2086
"$build/tools/broadcast" $mode -o "$work/stream.ts" "$work"/files/* >/dev/null 2>&1

cd "$work/run"
sed "s/^use_log = .*/use_log = 0/" "$source/samples/config.ini" > config.ini
"$build/tools/quillmoth-filters" add --category "(Все)" --min 0 --max "3 ГБ" >/dev/null
printf 'capture = %s\r\nrate_kbps = %s\r\nloop = 1\r\n' "$work/stream.ts" "$rate" > streamreader.ini

# Finished files pile up while the capture loops; clear them now and then.
"$build/bin/quillmoth-headless" >/dev/null 2>"$work/headless.log" &
receiver=$!

ticks=$(getconf CLK_TCK)
cpuTicks() { awk '{ print $14 + $15 }' "/proc/$receiver/stat"; }
sleep 1
kill -0 "$receiver" 2>/dev/null || { echo "the receiver did not start:" >&2; cat "$work/headless.log" >&2; exit 1; }
startCpu=$(cpuTicks)
startTime=$(date +%s.%N)
elapsed=0
placed=0
while [ "$elapsed" -lt "$seconds" ]; do
    sleep 1
    placed=$((placed + $(find ok -type f | wc -l)))
    find ok -type f -delete
    elapsed=$((elapsed + 1))
done
endCpu=$(cpuTicks)
endTime=$(date +%s.%N)
kill "$receiver"
wait "$receiver" 2>/dev/null || true
receiver=""
awk -v c0="$startCpu" -v c1="$endCpu" -v t0="$startTime" -v t1="$endTime" -v hz="$ticks" -v rate="$rate" \
    -v il="$interleave" -v placed="$placed" 'BEGIN {
        cpu = (c1 - c0) / hz; wall = t1 - t0;
        printf "rate %d kbit/s, interleave %d: %.2f CPU s in %.2f s of stream = %.1f%% of one core (%d files placed)\n",
               rate, il, cpu, wall, 100 * cpu / wall, placed }'
