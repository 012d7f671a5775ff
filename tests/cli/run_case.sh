#!/usr/bin/env bash
# Runs one command-line golden case and compares exit status, standard output and standard
# error with the expectation files beside it.
#
#   run_case.sh QUORVEX CASE.sh
#
# The case script runs in an empty temporary directory with $QX set to the binary. A missing
# .stdout or .stderr file means that stream must be empty; the .exit file is required.
# Timing values ("0.12s", "(85 MB/s in)") are masked in both the output and the expectation.
# With QX_UPDATE_GOLDEN=1 the expectation files are rewritten from the actual output.
set -u

qx=$1
case_file=$2
base=${case_file%.sh}
name=$(basename "$base")

work=$(mktemp -d)
capture=$(mktemp -d)
trap 'rm -rf "$work" "$capture"' EXIT

(cd "$work" && QX="$qx" bash "$case_file") >"$capture/stdout" 2>"$capture/stderr"
echo $? >"$capture/exit"

mask() {
    sed -E -e 's/[0-9]+\.[0-9]+s\b/#.##s/g' -e 's/\([0-9]+ MB\/s in\)/(# MB\/s in)/g' "$1"
}

if [[ "${QX_UPDATE_GOLDEN:-}" == 1 ]]; then
    cp "$capture/exit" "$base.exit"
    for stream in stdout stderr; do
        if [[ -s "$capture/$stream" ]]; then mask "$capture/$stream" >"$base.$stream"; else rm -f "$base.$stream"; fi
    done
    echo "updated $name"
    exit 0
fi

failed=0
if [[ ! -f "$base.exit" ]]; then
    echo "$name: missing $base.exit"
    exit 1
fi
if ! diff -u "$base.exit" "$capture/exit"; then
    echo "$name: exit status differs"
    failed=1
fi
for stream in stdout stderr; do
    if [[ -f "$base.$stream" ]]; then mask "$base.$stream" >"$capture/$stream.expected"; else : >"$capture/$stream.expected"; fi
    mask "$capture/$stream" >"$capture/$stream.actual"
    if ! diff -u "$capture/$stream.expected" "$capture/$stream.actual"; then
        echo "$name: $stream differs"
        failed=1
    fi
done
exit $failed
