# Shared by the scripts that run the window program from outside (sourced,
# not run). The program and its helpers are Windows programs run by a runner
# (the Wine runner): every path they are given is this machine's absolute
# path behind "Z:".
#
# The caller sets: bin (where quillmoth.exe, quillmoth-close.exe and the
# plug-ins are) and runner (the command that runs a Windows program, as one
# string: cmake/wine-run and its prefix).

absolute() { (cd "$(dirname "$1")" && printf '%s/%s' "$(pwd)" "$(basename "$1")"); }

# fresh_work_folder DIR SAMPLES CLEAR_TMP: DIR emptied and made a working
# folder: the sample's config.ini (clear_tmp set as given) and filters.qmf,
# empty tmp/ and ok/.
fresh_work_folder() {
    rm -rf "$1"
    mkdir -p "$1/tmp" "$1/ok"
    sed "s/^clear_tmp = [0-9]*/clear_tmp = $3/" "$2/config.ini" > "$1/config.ini"
    cp "$2/filters.qmf" "$1/"
}

# use_capture DIR CAPTURE RATE_KBPS: the stand-in plug-in replays CAPTURE.
use_capture() {
    printf 'capture = Z:%s\r\nrate_kbps = %s\r\n' "$2" "$3" > "$1/streamreader.ini"
}

# start_program DIR: quillmoth.exe started in DIR in the background, as a
# Russian Windows runs it; its pid in $program, its output in DIR/output.txt.
start_program() {
    # The locale made beside the Wine prefix lets Wine store Cyrillic names.
    locales=$(sh "$(dirname "$bin")/../../cmake/russian-locale" "$(dirname "$bin")/locales")
    # shellcheck disable=SC2086
    (cd "$1" && LOCPATH=$locales LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 exec $runner "$bin/quillmoth.exe") \
        > "$1/output.txt" 2>&1 &
    program=$!
}

# close_program SECONDS: closes the window and waits up to SECONDS for the
# process to end; the helper's status (0 ended, 1 no window, 2 still
# running) in $close_status, its report in $close_report.
close_program() {
    close_status=0
    # shellcheck disable=SC2086
    close_report=$($runner "$bin/quillmoth-close.exe" --wait "$1" 2>&1) || close_status=$?
    close_report=$(printf '%s' "$close_report" | tr -d '\r')
}

# end_program: the program's exit status in $program_status; a program still
# running is killed first (its status is then that of the kill).
end_program() {
    if kill -0 "$program" 2>/dev/null; then
        kill -9 "$program" 2>/dev/null || true
    fi
    program_status=0
    wait "$program" || program_status=$?
}

# finished_count DIR: the finished files in DIR/ok (a partial file of the
# receiver's own starts with "~").
finished_count() {
    find "$1/ok" -maxdepth 1 -type f ! -name '~*' | wc -l
}

# wait_for_finished DIR COUNT SECONDS: true when COUNT finished files are in
# DIR/ok within SECONDS; false at once when the program ends before.
wait_for_finished() {
    deadline=$(( $(date +%s) + $3 ))
    while [ "$(finished_count "$1")" -lt "$2" ]; do
        kill -0 "$program" 2>/dev/null || return 1
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.2
    done
    return 0
}

# received_copy OK ORIGINAL: the name in OK of the finished copy of ORIGINAL
# (the receiver may add " (k)" before the extension), or nothing.
received_copy() {
    name=$(basename "$2")
    stem=${name%.*} ext=${name##*.}
    for candidate in "$1/$name" "$1/$stem ("*").$ext"; do
        [ -f "$candidate" ] && { basename "$candidate"; return 0; }
    done
    return 0
}
