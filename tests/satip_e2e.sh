#!/bin/sh
# The headless receiver tuned by its config.ini through a SAT>IP server of the
# tests' own (tests/satip/satip_server.py), which plays the sample capture.
#
# Usage: satip_e2e.sh MODE BIN_DIR BROADCAST SAMPLES WORK [EXE_SUFFIX PATH_PREFIX RUNNER...]
#   MODE     udp | tcp      the sample over RTP/UDP or inside the RTSP connection;
#                           the request carries config.ini's tuning, the session
#                           is kept alive past its time-out, torn down at exit
#            restart        the server restarts mid-stream: the session is set up
#                           again and the whole sample, played anew, arrives
#            refuse         SETUP answered 503: start-up fails, saying so
#            dead           the server stops answering: the receiver still ends
#                           within 2 s of going idle
#            window         as udp, received by the window program (under Wine,
#                           on DISPLAY) and closed as the user closes it
#            close-each     udp; the server closes the control connection after
#                           every reply and has one tuner: each request goes on a
#                           new connection, the one session lives on
#            close-idle     udp; the server closes idle connections within the
#                           keep-alive interval and has two tuners
#            rest           udp; the PID rests 8 s, the server sends no RTCP: the
#                           session is kept and nothing after the rest is lost
#            rest-tcp       as rest inside the RTSP connection, RTCP every 5 s
#            odd            tcp; frames before the PLAY reply, replies with LF
#                           line ends, RTP padding, requests from the server, a
#                           DESCRIBE reply too large to keep: all taken in stride
#            refuse-play, slow-play, no-stream-id
#                           the session set up cannot be played: start-up fails,
#                           saying why, and the session is torn down
#            drop           udp; the server forgets the session and says so (454)
#                           to the keep-alive: set up again at once
#            dns            udp; server is a host name, the name server stops
#                           answering and the server goes down: the receiver
#                           still ends within 3 s of going idle. Runs in network
#                           and mount namespaces of its own.
#            discover       as udp with server empty: the receiver finds the
#                           server by SSDP; "tsdump --satip-scan" (TSDUMP, in the
#                           environment) lists it. Other UPnP devices answer
#                           first: neither lists nor chooses them. Runs in a
#                           network namespace of its own, where the server may
#                           have port 554.
#   BIN_DIR  where quillmoth-headless and the plug-ins are
#   PATH_PREFIX  what turns an absolute path of this machine into one the
#            programs understand ("Z:" for Windows programs under Wine)
#   RUNNER   what runs the programs (the Wine runner), if anything
set -eu
# Discovery needs the SSDP group and the standard RTSP port: in a namespace of
# its own, loopback carries the multicast and the test server may take 554.
# The name server that stops answering needs a mount namespace too, for a
# hosts file and a resolv.conf of the test's own.
if { [ "$1" = discover ] || [ "$1" = dns ]; } && [ -z "${QM_SATIP_NAMESPACE:-}" ]; then
    flags=-rn
    [ "$1" = dns ] && flags=-rnm
    if ! command -v ip >/dev/null 2>&1 || ! unshare $flags true 2>/dev/null; then
        echo "skipped ($1): needs namespaces of its own (unshare $flags) and ip"
        exit 77
    fi
    QM_SATIP_NAMESPACE=1 exec unshare $flags sh "$0" "$@"
fi
mode=$1 bin=$2 broadcast=$3 samples=$4 work=$5
suffix=${6:-} prefix=${7:-}
[ $# -gt 7 ] && shift 7 || shift $#
here=$(cd "$(dirname "$0")" && pwd)

absolute() { (cd "$(dirname "$1")" && printf '%s/%s' "$(pwd)" "$(basename "$1")"); }
bin=$(absolute "$bin") broadcast=$(absolute "$broadcast") samples=$(absolute "$samples")
rm -rf "$work"
mkdir -p "$work/tmp" "$work/ok"
work=$(absolute "$work")
files=""
for f in "$samples"/files/*; do files="$files $prefix$f"; done
# shellcheck disable=SC2086
"$@" "$broadcast" --interleave -o "$prefix$work/sample.ts" $files >/dev/null
capture=$work/sample.ts
fail() {
    echo "FAILED ($mode): $*"
    for f in output.txt log.txt; do [ -f "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; }; done
    exit 1
}

# Tuned as a user tunes it: 11766 MHz vertical, 27500 kS/s, DiSEqC "Simple B"
# (the server's second source), PID 256.
sed -e 's/^use_spl = .*/use_spl = 1/' -e 's/^frequency = .*/frequency = 11766/' \
    -e 's/^symbol_rate = .*/symbol_rate = 27500/' -e 's/^polarity = .*/polarity = 1/' \
    -e 's/^diseqc = .*/diseqc = 2/' -e 's/^pids = .*/pids = 256/' "$samples/config.ini" > "$work/config.ini"
cp "$samples/filters.qmf" "$work/"

# The sample lasts about 6 s at this rate, twice the session's time-out.
options="--no-loop --rate-mbps 0.02 --session-timeout 3"
transport=udp idle=3
case "$mode" in
udp) ;;
tcp) transport=tcp ;;
restart) options="$options --restart-after 1.5 --down-for 2" idle=6 ;;
refuse) options="$options --refuse 503" ;;
dead) idle=2 ;;
window) ;;
close-each) options="$options --close-after-reply --max-sessions 1" ;;
close-idle) options="$options --idle-close 1 --max-sessions 2" ;;
rest) options="$options --rest-after 2 --rest-for 8 --rtcp-interval 0" idle=10 ;;
rest-tcp) options="$options --rest-after 2 --rest-for 8 --rtcp-interval 5" transport=tcp idle=10 ;;
odd)
    options="$options --frames-before-reply --lf-replies --rtp-padding 200 --server-requests 1 --big-describe"
    transport=tcp
    ;;
refuse-play) options="$options --refuse-play 503" ;;
slow-play) options="$options --slow-play 3" ;;
no-stream-id) options="$options --no-stream-id" ;;
drop) options="$options --drop-after 1.5" idle=6 ;;
dns)
    options="$options --restart-after 1.5 --down-for 30" idle=6
    ip link set lo up
    printf '127.0.0.1 localhost tuner.test\n' > "$work/hosts"
    printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:2\n' > "$work/resolv.conf"
    mount --bind "$work/hosts" /etc/hosts
    mount --bind "$work/resolv.conf" /etc/resolv.conf
    # A name server that never answers.
    python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53)); time.sleep(120)' &
    nameserver=$!
    ;;
discover)
    options="$options --ssdp --rtsp-port 554"
    ip link set lo up
    # The search leaves from an address the server can answer.
    ip addr add 192.0.2.1/32 dev lo
    ip route add 224.0.0.0/4 dev lo src 192.0.2.1
    # Before the server, to answer first: a device of another kind, and one
    # that answers as a SAT>IP server but describes another kind.
    python3 "$here/satip/ssdp_other.py" 127.0.0.1 > "$work/other.txt" 2>&1 &
    others=$!
    python3 "$here/satip/ssdp_other.py" 127.0.0.1 urn:ses-com:device:SatIPServer:1 > "$work/pretender.txt" 2>&1 &
    pretender=$!
    trap 'kill $others $pretender 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        [ "$(cat "$work/other.txt" "$work/pretender.txt")" = "$(printf 'ready\nready')" ] && break || sleep 0.1
    done
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

# The file is there before the server opens it: the first look for its port
# may come first, and a sed that cannot read would end this script.
: > "$work/server.txt"
# shellcheck disable=SC2086
python3 "$here/satip/satip_server.py" --capture "$capture" --log "$work/server.jsonl" $options \
    > "$work/server.txt" 2>&1 &
server=$!
trap 'kill -CONT $server 2>/dev/null; kill $server ${others:-} ${pretender:-} ${nameserver:-} 2>/dev/null || true' EXIT
port=""
for _ in $(seq 50); do
    port=$(sed -n 's/^ready rtsp=\([0-9]*\).*/\1/p' "$work/server.txt")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "the test server did not start: $(cat "$work/server.txt")"
server_setting=127.0.0.1:$port
[ "$mode" = dns ] && server_setting=tuner.test:$port
if [ "$mode" = discover ]; then
    server_setting=""
    "$TSDUMP" --satip-scan 127.0.0.1 > "$work/scan.txt" 2>&1 || fail "tsdump --satip-scan: $(cat "$work/scan.txt")"
    description="http://127.0.0.1:$(sed -n 's/^ready rtsp=[0-9]* http=\([0-9]*\).*/\1/p' "$work/server.txt")/desc.xml"
    grep -qxF "127.0.0.1  \"Quillmoth test tuner\"  tuners DVBS2-2  ($description)" "$work/scan.txt" &&
        [ "$(grep -c '  tuners ' "$work/scan.txt")" -eq 1 ] && grep -q 'describes another device' "$work/scan.txt" ||
        fail "tsdump --satip-scan does not list the server alone: $(cat "$work/scan.txt")"
fi
printf 'source = satip\r\nserver = %s\r\ntransport = %s\r\n' "$server_setting" "$transport" > "$work/streamsplitter.ini"

status=0
if [ "$mode" = window ]; then
    runner="$*"
    . "$here/window_support.sh"
    start_program "$work"
    wait_for_finished "$work" "$(ls "$samples/files" | wc -l)" 60 || echo "not every file finished within 60 s"
    close_program 10
    end_program
    [ "$close_status" -eq 0 ] || fail "the window was not closed properly: $close_report"
    status=$program_status
else
    (cd "$work" && exec "$@" "$bin/quillmoth-headless$suffix" --exit-when-idle $idle) > "$work/output.txt" 2>&1 &
    receiver=$!
fi
if [ "$mode" = dead ]; then
    # Once every file is in, the server freezes: connections are still
    # accepted, nothing is answered, not even the TEARDOWN at exit.
    total=$(ls "$samples/files" | wc -l)
    for _ in $(seq 300); do
        [ "$(find "$work/ok" -type f ! -name '~*' | wc -l)" -ge "$total" ] && break
        sleep 0.1
    done
    kill -STOP $server
    frozen=$(date +%s)
fi
if [ "$mode" = dns ]; then
    # Once the session is set up the name is known no more.
    for _ in $(seq 100); do
        grep -q '"event": "request", .*"method": "PLAY"' "$work/server.jsonl" 2>/dev/null && break
        sleep 0.1
    done
    : > "$work/hosts"
fi
[ "$mode" = window ] || wait $receiver || status=$?
ended=$(date +%s)

# log_count EXPRESSION: how many lines of the server's log EXPRESSION holds for
# (a Python expression over the line `e`).
log_count() {
    python3 -c "import json,sys; print(sum(1 for l in open(sys.argv[1]) for e in [json.loads(l)] if $1))" \
        "$work/server.jsonl"
}

setup="e['event'] == 'request' and e['method'] == 'SETUP' and e['status'] == 200"
# sessions_open last|most: the sessions open on the server after its last
# SETUP or teardown, or the most that were open at once.
sessions_open() {
    python3 -c "import json,sys; o = [0] + [e['open'] for l in open(sys.argv[1]) for e in [json.loads(l)] if 'open' in e]
print(o[-1] if sys.argv[2] == 'last' else max(o))" "$work/server.jsonl" "$1"
}

case "$mode" in
refuse)
    [ "$status" -eq 1 ] || fail "start-up did not fail (status $status)"
    grep -q "503" "$work/output.txt" || fail "the receiver does not say the server refused (503)"
    grep -q "SETUP: no free tuner (RTSP/1.0 503 Service Unavailable)" "$work/log.txt" ||
        fail "log.txt does not say why the server refused"
    echo "ok ($mode): start-up fails, naming the server's 503 on standard error and in log.txt"
    exit 0
    ;;
refuse-play | slow-play | no-stream-id)
    [ "$status" -eq 1 ] || fail "start-up did not fail (status $status)"
    case "$mode" in
    refuse-play) why="PLAY: no free tuner (RTSP/1.0 503 Service Unavailable)" ;;
    slow-play) why="no reply to PLAY" ;;
    no-stream-id) why="SETUP: the reply names no session or stream" ;;
    esac
    grep -qF "$why" "$work/log.txt" || fail "log.txt does not say \"$why\""
    [ "$(log_count "$setup")" -ge 1 ] || fail "no session was set up"
    [ "$(log_count "e['event'] == 'teardown'")" -ge 1 ] || fail "the session set up was not torn down"
    [ "$(sessions_open last)" -eq 0 ] || fail "$(sessions_open last) sessions left open on the server"
    echo "ok ($mode): start-up fails, saying \"$why\"; the session is torn down"
    exit 0
    ;;
esac
if [ "$mode" = dns ]; then
    down=$(python3 -c "import json,sys; print(int([e['time'] for l in open(sys.argv[1]) for e in [json.loads(l)] if e['event'] == 'down'][0]))" "$work/server.jsonl")
    # Idle 6 s after the last packet, at the server's going down, then at
    # most 3 s to end.
    [ $((ended - down)) -le 9 ] || fail "$((ended - down)) s from the server going down to the receiver's end"
    echo "ok ($mode): the receiver ended $((ended - down)) s after the server went down, the name server silent"
    exit 0
fi
if [ "$mode" = dead ]; then
    # Idle 2 s after the last packet, then at most 2 s to let the session go.
    [ $((ended - frozen)) -le 5 ] || fail "$((ended - frozen)) s from the server's freeze to the receiver's end"
    echo "ok ($mode): the receiver ended $((ended - frozen)) s after the server froze"
    exit 0
fi

[ "$status" -eq 0 ] || fail "the receiver ended with status $status"
. "$(dirname "$0")/received_files.sh"
check_received "$samples" "$work/ok"
tuned="$setup and e['query'] == dict(src='2', freq='11766', pol='v', msys='dvbs2', sr='27500', pids='256')"
[ "$(log_count "$tuned")" -ge 1 ] || fail "no SETUP with src=2, freq=11766, pol=v, msys=dvbs2, sr=27500, pids=256"
[ "$(log_count "e['event'] == 'expired'")" -eq 0 ] || fail "the server let a session expire: no keep-alive"
[ "$(log_count "e['event'] == 'request' and e['method'] == 'OPTIONS' and e.get('session')")" -ge 1 ] ||
    fail "no OPTIONS within the session"
if [ "$mode" = restart ] || [ "$mode" = drop ]; then
    [ "$(log_count "$setup")" -ge 2 ] || fail "the session was not set up again after the $mode"
fi
if [ "$mode" = drop ]; then
    # The server answers: no pause between its 454 and the new SETUP.
    pause=$(python3 -c "import json,sys; e = [json.loads(l) for l in open(sys.argv[1])]
r = [x for x in e if x['event'] == 'request']
gone = [x['time'] for x in r if x['status'] == 454][:1]
again = [x['time'] for x in r if gone and x['method'] == 'SETUP' and x['time'] >= gone[0]][:1]
print(int(1000 * (again[0] - gone[0])) if again else 99999)" "$work/server.jsonl")
    [ "$pause" -lt 500 ] || fail "$pause ms from the server's 454 to the new SETUP (99999: none)"
fi
case "$mode" in
close-each | close-idle | rest | rest-tcp | odd)
    ! grep -q "setting the session up again" "$work/log.txt" || fail "the session was set up again"
    [ "$(log_count "$setup")" -eq 1 ] || fail "$(log_count "$setup") sessions set up, not one"
    ;;
esac
[ "$(sessions_open most)" -le 1 ] || fail "$(sessions_open most) sessions open on the server at once"
[ "$(sessions_open last)" -eq 0 ] || fail "$(sessions_open last) sessions left open on the server"
[ "$(log_count "e['event'] == 'teardown'")" -ge 1 ] || fail "no TEARDOWN at exit"
grep -q "streamsplitter: SAT>IP 127.0.0.1:$port: locked, level 200, quality 15" "$work/log.txt" ||
    fail "log.txt does not say the tuner locked"
if [ "$mode" = discover ]; then
    found="streamsplitter: SAT>IP server found: 127.0.0.1 ($description)"
    grep -qF "$found" "$work/output.txt" && grep -qF "$found" "$work/log.txt" ||
        fail "the receiver does not name the server it found"
    grep -q "SAT>IP servers that also answered: 127\.0\.0\.1 (http://127\.0\.0\.1:[0-9]*/other\.xml).$" \
        "$work/log.txt" || fail "the receiver does not name the others"
fi
echo "ok ($mode): $total files byte-identical; tuned from config.ini; kept alive; torn down at exit; lock logged"
