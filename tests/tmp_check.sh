#!/bin/bash
# What a test run leaves in the temporary directories.
#   tmp_check.sh snapshot STATE_DIR RUN_TMPDIR   before the first test
#   tmp_check.sh check STATE_DIR RUN_TMPDIR      after the last one
# RUN_TMPDIR is the TMPDIR of every test of this build tree: anything in it at
# the end is a leftover. In /tmp only the names made there by fixed path are
# looked at, against the list taken before the run, since other runs on the
# machine use /tmp at the same time: an entry that belongs to one of them
# while it still runs is not counted.
set -u
mode=$1 state=$2 run_tmp=$3

# Names the tests and the programs under test make in /tmp by fixed path:
# liboskit's key files and FIFOs (named oskit_<pid>_... by its tests) and
# the pool tests' lock of the fixed IPC keys.
fixed_names() {
    ls -A /tmp | grep -E '^(oskit_|quay-mkrx-ipc\.lock$)' | sort
}

# True when a /tmp entry belongs to a test that still runs: a lock somebody
# holds, or a name that carries the pid of a live process.
in_use() {
    local name=$1
    case $name in
    quay-mkrx-ipc.lock)
        (exec 9<"/tmp/$name" && ! flock -n 9) 2>/dev/null
        ;;
    oskit_*)
        local pid=${name#oskit_}
        pid=${pid%%_*}
        [[ $pid =~ ^[0-9]+$ ]] && [ -d "/proc/$pid" ]
        ;;
    *) return 1 ;;
    esac
}

case $mode in
snapshot)
    mkdir -p "$state" || exit 1
    rm -rf "$run_tmp" && mkdir -p "$run_tmp" || exit 1
    fixed_names >"$state/tmp-before"
    ;;
check)
    [ -f "$state/tmp-before" ] || { echo "no snapshot in $state: TmpDirs.Snapshot did not run"; exit 1; }
    left=()
    while read -r name; do
        [ -e "/tmp/$name" ] || [ -L "/tmp/$name" ] || continue
        in_use "$name" || left+=("/tmp/$name")
    done < <(fixed_names | comm -13 "$state/tmp-before" -)
    while read -r name; do
        left+=("$run_tmp/$name")
    done < <(ls -A "$run_tmp" 2>/dev/null)
    if [ ${#left[@]} -gt 0 ]; then
        echo "the test run left behind:"
        printf '  %s\n' "${left[@]}"
        exit 1
    fi
    echo "nothing left behind in /tmp or $run_tmp"
    ;;
*)
    echo "usage: $0 snapshot|check STATE_DIR RUN_TMPDIR" >&2
    exit 2
    ;;
esac
