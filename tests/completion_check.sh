#!/usr/bin/env bash
# countctl's bash completion, as bash-completion runs it: the commands
# first, then each command's own options, and the values --format takes.
#   completion_check.sh COMPLETION_FILE
set -uo pipefail
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || { echo "bash-completion is not installed (apt-get install bash-completion): not checked"; exit 77; }
# shellcheck disable=SC1090
source "$framework"
source "$1"

complete_line() { # the words a line completes to, sorted, on one line
    COMP_LINE=$1
    COMP_POINT=${#COMP_LINE}
    read -ra COMP_WORDS <<<"$COMP_LINE"
    [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _countctl countctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

status=0
expect() {
    local got
    got=$(complete_line "$1")
    if [ "$got" != "$2" ]; then
        echo "'$1' completes to '$got', not '$2'"
        status=1
        return 1
    fi
}
expect "countctl " "--config --help --quiet --version --wait acquire ifc plot read reset scan set start status stop "
expect "countctl --wait s" "scan set start status stop "
expect "countctl s" "scan set start status stop "
expect "countctl acquire --w" "--wait --words "
expect "countctl status --" "--config --help --json --quiet --wait "
expect "countctl read --format " "csv hdf5 plain "
expect "countctl set --p" "--period --polarity "
expect "countctl scan " "threshold "
expect "countctl scan threshold 0:4000:100 --w" "--wait --words "
expect "countctl acquire --rotate " "10min 1d 1h 30s "
work=$(mktemp -d)
touch "$work/scan.csv" "$work/run.h5" "$work/notes.txt"
(cd "$work" && expect "countctl plot sc" "scan.csv " && expect "countctl plot r" "run.h5 ") || status=1
rm -rf "$work"
[ $status = 0 ] && echo "countctl's completion offers its commands, their options and --format's values"
exit $status
