#!/usr/bin/env bash
# countctl's bash completion, as bash-completion runs it: the commands
# first, then each command's own options, the values --format and
# --rotate take, and the files plot takes. The commands and options it
# offers must be those countctl's own help names.
#   completion_check.sh COMPLETION_FILE COUNTCTL
set -uo pipefail
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || { echo "bash-completion is not installed (apt-get install bash-completion): not checked"; exit 77; }
# shellcheck disable=SC1090
source "$framework"
source "$1"
countctl=$(realpath "$2")
mkdir -p "${TMPDIR:-/tmp}/completion-$$"
bin="${TMPDIR:-/tmp}/completion-$$"
ln -s "$countctl" "$bin/countctl"
PATH="$bin:$PATH"

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
sorted() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' '; }

# From the help: the commands it lists, and each command's options as its
# usage names them (-o is --output), with the options every command takes.
commands=$(countctl --help | sed -n '/^Commands:/,/^$/p' | sed -n 's/^  \([a-z][a-z]*\).*/\1/p')
[ -n "$commands" ] || { echo "countctl --help lists no commands"; exit 1; }
expect "countctl " "$(echo "$commands --config --help --quiet --version --wait" | sorted)"
for command in $commands; do
    usage=$(countctl "$command" --help | sed -n '/^usage:/,/^[^ u]/p' | sed '$d')
    own=$(grep -o -- '--[a-z][a-z-]*' <<<"$usage")
    grep -qE -- '(^| |\[)-o ' <<<"$usage" && own+=" --output"
    expect "countctl $command --" "$(echo "$own --config --help --quiet --wait" | sorted)"
done

expect "countctl --wait s" "scan set start status stop "
expect "countctl acquire --w" "--wait --words "
expect "countctl read --format " "csv hdf5 plain "
expect "countctl scan " "threshold "
expect "countctl scan threshold 0:4000:100 --w" "--wait --words "
expect "countctl acquire --rotate " "10min 1d 1h 30s "
work=$(mktemp -d)
touch "$work/scan.csv" "$work/run.h5" "$work/notes.txt"
(cd "$work" && expect "countctl plot sc" "scan.csv " && expect "countctl plot r" "run.h5 ") || status=1
rm -rf "$work" "$bin"
[ $status = 0 ] && echo "countctl's completion offers the commands and options its help names, and --format's values"
exit $status
