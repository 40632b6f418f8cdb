#!/bin/sh
# The window program from outside: the sample files go through our
# broadcaster into a capture, quillmoth.exe receives it through the stand-in
# plug-in in a scratch working folder, and is closed as the user closes it.
# Every sample file must come out byte-identical, tmp/ must be empty
# (clear_tmp = 1) and the process must end with exit code 0.
#
# Usage: window_e2e.sh BIN_DIR BROADCAST SAMPLES WORK RUNNER...
#   BIN_DIR     where quillmoth.exe, quillmoth-close.exe and the plug-ins are
#   RUNNER      what runs Windows programs (the Wine runner and its prefix)
# Needs an X display (DISPLAY).
set -eu
bin=$1 broadcast=$2 samples=$3 work=$4
shift 4
runner="$*"
. "$(dirname "$0")/window_support.sh"

bin=$(absolute "$bin") broadcast=$(absolute "$broadcast") samples=$(absolute "$samples")
fresh_work_folder "$work" "$samples" 1
work=$(absolute "$work")

files="" total=0
for f in "$samples"/files/*; do files="$files Z:$f"; total=$((total + 1)); done
# shellcheck disable=SC2086
$runner "$broadcast" --interleave -o "Z:$work/sample.ts" $files >/dev/null
# Slow enough that the rows are in the list for a while.
use_capture "$work" "$work/sample.ts" 400

start_program "$work"
status=0
if ! wait_for_finished "$work" "$total" 60; then
    echo "only $(finished_count "$work") of $total files finished within 60 s"
    status=1
fi
close_program 10
echo "close: $close_report"
end_program
if [ "$close_status" -ne 0 ]; then
    echo "the program was not closed properly (quillmoth-close status $close_status)"
    status=1
fi
if [ "$program_status" -ne 0 ]; then
    echo "the program ended with status $program_status"
    status=1
fi

same=0
for f in "$samples"/files/*; do
    got=$(received_copy "$work/ok" "$f")
    if [ -n "$got" ] && cmp -s "$f" "$work/ok/$got"; then
        same=$((same + 1))
    else
        echo "not received whole: $(basename "$f")"
    fi
done
echo "$same of $total sample files received byte-identical"
[ "$same" -eq "$total" ] || status=1
if [ "$(finished_count "$work")" -ne "$total" ] || [ -n "$(find "$work/ok" -name '~*')" ]; then
    echo "ok/ holds other files than the sample's:"; ls -l "$work/ok"; status=1
fi
if [ -n "$(ls -A "$work/tmp")" ]; then
    echo "tmp is not empty:"; ls -l "$work/tmp"; status=1
fi
if [ "$status" -ne 0 ]; then
    echo "--- program output"; cat "$work/output.txt"
    for log in "$work"/*.log; do [ -f "$log" ] && { echo "--- $log"; cat "$log"; }; done
fi
exit "$status"
