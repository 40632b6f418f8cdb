# Shared by the end-to-end scripts (sourced, not run).
# check_received SAMPLES OK: every file of SAMPLES/files has arrived in OK
# byte-identical, under the name the receiver gives it ("name (N).ext");
# otherwise `fail`, the caller's, says how many did.
check_received() {
    total=0 same=0
    for f in "$1"/files/*; do
        total=$((total + 1))
        name=$(basename "$f")
        got=$(ls "$2/" | grep -F "${name%.*} (" | grep -F ".${name##*.}" | head -n 1 || true)
        [ -n "$got" ] && cmp -s "$f" "$2/$got" && same=$((same + 1))
    done
    [ "$same" -eq "$total" ] || fail "$same of $total sample files received byte-identical"
}
