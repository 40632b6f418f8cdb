#!/bin/sh
# The broadcaster's output as an independent decoder reads it. tshark must find
# in the pcap file DVB MPE sections (good CRC) carrying IPv4 (good checksum)
# carrying UDP, with the addresses, ports, MAC and lengths asked for and listed
# by the broadcaster; and tsdump must agree with tshark on the .ts file.
# Usage: broadcast_vs_tshark.sh BROADCAST TSDUMP
set -eu
broadcast=$1
tsdump=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "$*"
    exit 1
}

# Both sides print: SRC:PORT -> DST:PORT mac MAC length PAYLOAD, one row per
# datagram. The payload length is tshark's UDP length less 8.
tshark_fields() {
    tshark -o ip.check_checksum:TRUE -o mpeg_sect.verify_crc:TRUE -r "$1" -Y "udp && mp2t.pid == 1234" \
        -T fields -E separator=/t -e ip.src -e udp.srcport -e ip.dst -e udp.dstport -e dvb_data_mpe.dst_mac \
        -e udp.length -e ip.len -e ip.checksum.status -e mpeg_sect.crc.status 2>/dev/null
}

as_rows() {
    awk -F'\t' '{ printf "%s:%s -> %s:%s mac %s length %d\n", $1, $2, $3, $4, $5, $6 - 8 }'
}

same() {
    if ! diff -u "$2" "$3" > "$work/diff"; then
        echo "$1 disagree:"
        head -20 "$work/diff"
        exit 1
    fi
}

# Compressible text, data that does not compress, and one byte.
seq 1 40000 > "$work/numbers.txt"
seq 1 150000 | gzip -9n > "$work/packed.bin"
printf 'x' > "$work/dot.gif"

run=0
for layout in "--seed 1" "--seed 2 --pack --interleave"; do
    run=$((run + 1))
    out="$work/run$run"
    # shellcheck disable=SC2086
    "$broadcast" $layout --pid 1234 --source 10.20.30.40:7000 --destination 239.5.6.7:6100 \
        --mac 01:00:5e:05:06:07 --extension-flag 0.5 --duplicate 0.2 --list \
        -o "$out.ts" --pcap "$out.pcap" "$work/numbers.txt" "$work/packed.bin" "$work/dot.gif" > "$out.sent"
    [ -s "$out.sent" ] || fail "the broadcaster listed no datagram ($layout)"

    tshark_fields "$out.pcap" > "$out.fields"
    # What was asked for, checked on tshark's own reading.
    awk -F'\t' '
        $1 != "10.20.30.40" || $3 != "239.5.6.7" || $4 != 6100 || $5 != "01:00:5e:05:06:07" { bad = "addressing: " $0 }
        $2 < 7000 || $2 > 7002 { bad = "source port: " $0 }
        $7 != $6 + 20 { bad = "IP length against UDP length: " $0 }
        $6 - 8 < 8 || $6 - 8 > 2050 { bad = "ObjectDatagram length: " $0 }
        $8 != 1 || $9 != 1 { bad = "IP checksum or section CRC not good: " $0 }
        { ports[$2] = 1 }
        END {
            if (bad != "") { print bad; exit 1 }
            if (length(ports) != 3) { print "expected 3 source ports, saw " length(ports); exit 1 }
        }' "$out.fields" || fail "tshark on the pcap file ($layout)"
    as_rows < "$out.fields" > "$out.pcap.rows"
    same "the broadcaster's listing and tshark on its pcap file ($layout)" "$out.sent" "$out.pcap.rows"

    tshark_fields "$out.ts" | as_rows > "$out.ts.rows"
    "$tsdump" --pid 1234 "$out.ts" 2>/dev/null | grep ' -> ' > "$out.tsdump" || true
    same "tshark and tsdump on the .ts file ($layout)" "$out.ts.rows" "$out.tsdump"
    # Every datagram the broadcaster makes is a valid object datagram.
    sent=$(wc -l < "$out.sent")
    "$tsdump" --quiet --pid 1234 "$out.ts" 2>/dev/null | grep -qx "object datagrams: $sent valid, 0 too short, 0 of another type, 0 with a bad check, 0 too long" ||
        fail "tsdump does not count all $sent datagrams as valid object datagrams ($layout)"
    echo "$layout: $(wc -l < "$out.sent") datagrams; tshark and tsdump agree with the listing"
done

# Bad input: a non-zero exit and one line saying why.
refuses() {
    if "$broadcast" "$@" > /dev/null 2> "$work/error"; then fail "accepted: $*"; fi
    [ "$(wc -l < "$work/error")" -eq 1 ] || fail "not one line for: $*: $(cat "$work/error")"
}
refuses -o "$work/x.ts" "$work/missing.txt"
refuses -o "$work/x.ts" --drop 1.5 "$work/dot.gif"
refuses -o "$work/x.ts" --destination 239.5.6:80 "$work/dot.gif"
: > "$work/empty.txt"
refuses -o "$work/x.ts" "$work/empty.txt"
"$broadcast" -o "$work/x.ts" --allow-empty "$work/empty.txt" 2> /dev/null || fail "--allow-empty refused an empty file"
echo "bad input refused"
