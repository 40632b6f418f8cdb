#!/bin/sh
# The main job end to end: the sample files go through our broadcaster into a
# capture (reader) or a TS-over-UDP stream on loopback (splitter), the
# headless receiver takes them in through the stand-in plug-in, and every
# sample file must come out byte-identical, with nothing left in tmp.
#
# Usage: headless_e2e.sh reader|splitter BIN_DIR BROADCAST SAMPLES WORK [EXE_SUFFIX PATH_PREFIX RUNNER...]
#   BIN_DIR     where quillmoth-headless and the plug-ins are
#   PATH_PREFIX what turns an absolute path of this machine into one the
#               programs understand ("Z:" for Windows programs under Wine)
#   RUNNER      what runs the programs (the Wine runner), if anything
set -eu
mode=$1 bin=$2 broadcast=$3 samples=$4 work=$5
suffix=${6:-} prefix=${7:-}
[ $# -gt 7 ] && shift 7 || shift $#

absolute() { (cd "$(dirname "$1")" && printf '%s/%s' "$(pwd)" "$(basename "$1")"); }
bin=$(absolute "$bin") broadcast=$(absolute "$broadcast") samples=$(absolute "$samples")
rm -rf "$work"
mkdir -p "$work/tmp" "$work/ok"
work=$(absolute "$work")
cp "$samples/config.ini" "$samples/filters.qmf" "$work/"
files=""
for f in "$samples"/files/*; do files="$files $prefix$f"; done

headless="$bin/quillmoth-headless$suffix"

case "$mode" in
reader)
    # shellcheck disable=SC2086
    "$@" "$broadcast" --interleave -o "$prefix$work/sample.ts" $files >/dev/null
    printf 'capture = %s\r\nrate_kbps = 0\r\n' "$prefix$work/sample.ts" > "$work/streamreader.ini"
    (cd "$work" && "$@" "$headless" --exit-when-idle 3) > "$work/output.txt" 2>&1
    ;;
splitter)
    port=$(( 20000 + $$ % 20000 ))
    sed 's/^use_spl = 0/use_spl = 1/' "$samples/config.ini" > "$work/config.ini"
    printf 'address = 127.0.0.1\r\nport = %s\r\n' "$port" > "$work/streamsplitter.ini"
    (cd "$work" && "$@" "$headless" --exit-when-idle 4) > "$work/output.txt" 2>&1 &
    receiver=$!
    sleep 2
    # shellcheck disable=SC2086
    "$@" "$broadcast" --interleave --udp "127.0.0.1:$port" --rate-kbps 8000 $files >/dev/null
    wait $receiver
    ;;
*)
    echo "unknown mode $mode"; exit 2 ;;
esac

total=0 same=0
for f in "$samples"/files/*; do
    total=$((total + 1))
    name=$(basename "$f")
    stem=${name%.*} ext=${name##*.}
    got=$(ls "$work/ok/" | grep -F "$stem (" | grep -F ".$ext" | head -n 1 || true)
    if [ -n "$got" ] && cmp -s "$f" "$work/ok/$got"; then
        same=$((same + 1))
    else
        echo "not received whole: $name"
    fi
done
echo "$same of $total sample files received byte-identical ($mode)"
if [ -n "$(ls -A "$work/tmp" 2>/dev/null)" ]; then
    echo "tmp is not empty:"; ls -l "$work/tmp"; exit 1
fi
if [ "$same" -ne "$total" ]; then
    echo "--- receiver output"; cat "$work/output.txt"; exit 1
fi
# The counters at the end account for every object.
if ! tr -d '\r' < "$work/output.txt" | grep -qx "  сохранено: $total"; then
    echo "--- no counter report with $total objects placed"; cat "$work/output.txt"; exit 1
fi
