#!/bin/sh
# The headless receiver reading a DVB card: the tests' stand-in adapter
# (fake_dvb.so, preloaded) plays the sample capture only when the card was
# tuned as the LNB and switch need for the transponder.
#
# Usage: dvb_e2e.sh MODE BIN_DIR BROADCAST SAMPLES WORK FAKE_DVB_LIB
#   MODE  low       11494 MHz vertical, low band, simple switch input A
#         high      12188 MHz horizontal, high band, committed switch input 2
#         wrong     the card does not lock: start-up fails, saying so
#         unplug    the adapter goes away for a second: opened and tuned again
#         overflow  the kernel's buffer runs over once: said, and read on
#         fade      the lock is lost for a while: both said; the carousel's
#                   second pass makes up what was lost
#         dvbs      as low, the transponder DVB-S: found on the second try
#   With TSDUMP in the environment, low also has "tsdump --dvb-list" name the card.
set -eu
mode=$1 bin=$2 broadcast=$3 samples=$4 work=$5 fake=$6
rm -rf "$work"
mkdir -p "$work/tmp" "$work/ok"
work=$(cd "$work" && pwd)
# shellcheck disable=SC2046
"$broadcast" --interleave -o "$work/sample.ts" $(ls -d "$samples"/files/*) >/dev/null
fail() {
    echo "FAILED ($mode): $*"
    for f in output.txt log.txt fake.txt; do [ -f "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; }; done
    exit 1
}

frequency=11494 polarity=1 diseqc=1 port=a idle=3 passes=1
transponder=11494000:27500000:v
expect="burst a|tune freq=1744000 sr=27500000 sys=dvbs2 voltage=13 tone=off"
case "$mode" in
low | overflow | dvbs) ;;
high)
    frequency=12188 polarity=0 diseqc=5 port=2 transponder=12188000:27500000:h
    expect="diseqc e0 10 38 f7|tune freq=1588000 sr=27500000 sys=dvbs2 voltage=18 tone=on"
    ;;
wrong) transponder=11800000:27500000:v ;;
unplug | fade) idle=6 passes=2 ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
sed -e "s/^frequency = .*/frequency = $frequency/" -e "s/^polarity = .*/polarity = $polarity/" \
    -e "s/^diseqc = .*/diseqc = $diseqc/" -e 's/^symbol_rate = .*/symbol_rate = 27500/' \
    "$samples/config.ini" > "$work/config.ini"
cp "$samples/filters.qmf" "$work/"
printf 'source = dvb\r\nadapter = 0\r\n' > "$work/streamreader.ini"

status=0
(
    cd "$work"
    export FAKE_DVB_TRANSPONDER=$transponder FAKE_DVB_LNB=9750000:10600000:11700000 FAKE_DVB_PORT=$port
    export FAKE_DVB_CAPTURE="$work/sample.ts" FAKE_DVB_LOG="$work/fake.txt" FAKE_DVB_RATE_KBPS=40
    export FAKE_DVB_PASSES=$passes
    [ "$mode" = unplug ] && export FAKE_DVB_UNPLUG_AFTER=1
    [ "$mode" = overflow ] && export FAKE_DVB_OVERFLOW_AFTER=0.5
    [ "$mode" = dvbs ] && export FAKE_DVB_SYSTEM=dvbs
    [ "$mode" = fade ] && export FAKE_DVB_FADE_AFTER=1
    LD_PRELOAD=$fake exec "$bin/quillmoth-headless" --exit-when-idle $idle
) > "$work/output.txt" 2>&1 || status=$?

if [ "$mode" = wrong ]; then
    [ "$status" -eq 1 ] || fail "start-up did not fail (status $status)"
    grep -q "no lock at 11494 MHz V 27500 kS/s (1744 MHz from the LNB, 22 kHz off, 13 V, dvbs2 then dvbs) after [0-9]* s" \
        "$work/log.txt" || fail "log.txt does not say the card found no lock"
    echo "ok ($mode): start-up fails, log.txt says there was no lock"
    exit 0
fi
[ "$status" -eq 0 ] || fail "the receiver ended with status $status"
. "$(dirname "$0")/received_files.sh"
check_received "$samples" "$work/ok"
# The switch is told before the tune, and the first tune locks.
grep -E '^(burst|diseqc|tune)' "$work/fake.txt" | head -n 2 | tr '\n' '|' | grep -qxF "$expect|" ||
    fail "not tuned as '$expect'"
grep -qx "filter pid=256 input=frontend output=tap" "$work/fake.txt" || fail "PID 256 not filtered"
grep -q "streamreader: adapter0/frontend0: locked at $frequency MHz" "$work/log.txt" || fail "the lock is not logged"
case "$mode" in
fade)
    grep -q "adapter0/frontend0: lock lost, no lock, level 40%, overflows 0" "$work/log.txt" &&
        grep -q "adapter0/frontend0: locked again, lock 78%/12.3dB, overflows 0" "$work/log.txt" ||
        fail "the lost and regained lock is not logged"
    ;;
dvbs)
    grep -q "locked at 11494 MHz V (dvbs)" "$work/log.txt" &&
        grep -qx "tune freq=1744000 sr=27500000 sys=dvbs voltage=13 tone=off" "$work/fake.txt" ||
        fail "not locked as DVB-S after DVB-S2"
    ;;
unplug)
    grep -q "adapter0/frontend0: .*No such device.*; opening it again" "$work/log.txt" &&
        grep -q "adapter0/frontend0: back, tuned and filtering again" "$work/log.txt" ||
        fail "the unplugged adapter is not said to be gone and back"
    [ "$(sed -n '/^unplug/,$p' "$work/fake.txt" | grep -c "^$(echo "$expect" | cut -d'|' -f2)")" -ge 1 ] ||
        fail "not tuned again after the unplug"
    ;;
overflow)
    grep -q "adapter0/frontend0: packets lost, the program did not keep up (overflow 1)" "$work/log.txt" ||
        fail "the overflow is not logged"
    ;;
esac
if [ "$mode" = low ] && [ -n "${TSDUMP:-}" ]; then
    LD_PRELOAD=$fake "$TSDUMP" --dvb-list > "$work/list.txt" 2>&1 || fail "tsdump --dvb-list: $(cat "$work/list.txt")"
    [ "$(cat "$work/list.txt")" = 'adapter0/frontend0  "Test DVB-S/S2 frontend"  dvbs dvbs2  950-2150 MHz' ] ||
        fail "tsdump --dvb-list does not list the card alone: $(cat "$work/list.txt")"
fi
echo "ok ($mode): $total files byte-identical; switch, band, voltage and PID as the transponder needs"
