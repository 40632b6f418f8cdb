#!/bin/sh
# Closing the window while objects are starting and finishing must end the
# process promptly every time. The packet and worker threads call into the
# UI thread to insert and remove rows; if the shutdown waited for one of them
# while it waited for the UI thread, the program would hang here.
#
# A stream of many small objects, in batches that follow one another, so that
# objects start and finish all the time; each round starts quillmoth.exe on
# it, closes the window after a delay that differs from round to round, and
# wants: the process ended within 5 s of the close with exit code 0, every
# file in ok/ byte-identical to its original (never a partial one), and with
# clear_tmp = 1 an empty tmp/. Rounds alternate clear_tmp 1 and 0.
#
# Usage: window_exit_hazard.sh BIN_DIR BROADCAST WORK ROUNDS RUNNER...
# Needs an X display (DISPLAY).
set -eu
bin=$1 broadcast=$2 work=$3 rounds=$4
shift 4
runner="$*"
. "$(dirname "$0")/window_support.sh"

bin=$(absolute "$bin") broadcast=$(absolute "$broadcast")
rm -rf "$work"
mkdir -p "$work/objects"
work=$(absolute "$work")
samples=$(absolute "$(dirname "$0")/../samples")

# 480 files of 1 to 24 KiB, the same every run; 12 batches of 40, each
# batch interleaved and sent from source ports of its own.
batches=12 per_batch=40
python3 - "$work/objects" $((batches * per_batch)) <<'PY'
import os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(9)
for k in range(count):
    with open(os.path.join(folder, "obj%04d.bin" % k), "wb") as f:
        f.write(rng.randbytes(rng.randint(1024, 24 * 1024)))
PY
: > "$work/stream.ts"
batch=0
while [ "$batch" -lt "$batches" ]; do
    files="" k=0
    while [ "$k" -lt "$per_batch" ]; do
        files="$files Z:$work/objects/$(printf 'obj%04d.bin' $((batch * per_batch + k)))"
        k=$((k + 1))
    done
    # shellcheck disable=SC2086
    $runner "$broadcast" --interleave --seed $((batch + 1)) --source "192.168.0.7:$((4000 + batch * per_batch))" \
        -o "Z:$work/batch.ts" $files >/dev/null
    cat "$work/batch.ts" >> "$work/stream.ts"
    batch=$((batch + 1))
done
rm -f "$work/batch.ts"
# About 18 s of stream, a batch every 1.5 s or so: objects are starting and
# finishing whenever the window closes.
rate=3000

failed=0 round=1 total_close_ms=0 worst_close_ms=0 started=$(date +%s)
while [ "$round" -le "$rounds" ]; do
    folder="$work/round$round"
    clear_tmp=$((round % 2))
    # 0.5 to 3.0 s after reception has begun, different from round to round.
    delay=$(( 500 + (round * 1913 + round * round * 97) % 2501 ))
    fresh_work_folder "$folder" "$samples" "$clear_tmp"
    use_capture "$folder" "$work/stream.ts" "$rate"
    problems=""

    start_program "$folder"
    # The delay counts from the first object, not from Wine's start-up.
    deadline=$(( $(date +%s) + 30 ))
    while [ -z "$(find "$folder/tmp" "$folder/ok" -mindepth 1 | head -n 1)" ]; do
        if ! kill -0 "$program" 2>/dev/null || [ "$(date +%s)" -ge "$deadline" ]; then
            problems="$problems; reception never began"
            break
        fi
        sleep 0.05
    done
    sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    close_program 5
    end_program
    close_ms=$(printf '%s' "$close_report" | sed -n 's/^ended after \([0-9]*\) ms.*/\1/p')
    if [ "$close_status" -ne 0 ] || [ -z "$close_ms" ]; then
        problems="$problems; not ended within 5 s of the close ($close_report)"
        close_ms=5000
    fi
    [ "$program_status" -eq 0 ] || problems="$problems; exit status $program_status"
    total_close_ms=$((total_close_ms + close_ms))
    [ "$close_ms" -gt "$worst_close_ms" ] && worst_close_ms=$close_ms

    finished=0
    for got in "$folder"/ok/*; do
        [ -e "$got" ] || continue
        name=$(basename "$got")
        case "$name" in
        "~"*) problems="$problems; partial file left in ok: $name"; continue ;;
        esac
        original="$work/objects/$(printf '%s' "$name" | sed 's/ ([0-9]*)\././')"
        if [ -f "$original" ] && cmp -s "$original" "$got"; then
            finished=$((finished + 1))
        else
            problems="$problems; not whole: $name"
        fi
    done
    leftovers=$(ls -A "$folder/tmp" | wc -l)
    if [ "$clear_tmp" -eq 1 ] && [ "$leftovers" -ne 0 ]; then
        problems="$problems; tmp holds $leftovers files"
    fi

    printf 'round %2d: clear_tmp %d, closed %d.%03d s after the first object, ended in %4d ms, %3d files whole, %d in tmp%s\n' \
        "$round" "$clear_tmp" $((delay / 1000)) $((delay % 1000)) "$close_ms" "$finished" "$leftovers" \
        "${problems:+ FAILED$problems}"
    if [ -n "$problems" ]; then
        failed=$((failed + 1))
        sed 's/^/    output: /' "$folder/output.txt"
    fi
    round=$((round + 1))
done
echo "$((rounds - failed)) of $rounds rounds passed; close to end: $((total_close_ms / rounds)) ms on average," \
    "$worst_close_ms ms at most; $(( $(date +%s) - started )) s in all"
[ "$failed" -eq 0 ]
