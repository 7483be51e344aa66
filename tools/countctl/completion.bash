# Bash completion for countctl: its commands (and the options every command
# takes, which may come before the command), then each command's options,
# both as countctl itself lists them (countctl --complete[=COMMAND]), and
# the formats and files their values take.

_countctl()
{
    local cur prev words cword
    _init_completion -s || return

    local program=${words[0]} first commands="" command="" i
    first=$("$program" --complete 2>/dev/null)
    for i in $first; do [[ $i == -* ]] || commands+=" $i"; done
    for ((i = 1; i < cword; i++)); do
        if [[ " $commands " == *" ${words[i]} "* ]]; then
            command=${words[i]}
            break
        fi
    done
    if [[ $prev == --config ]]; then
        _filedir toml
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$first" -- "$cur"))
        return
    fi

    case $prev in
        --output-dir)
            _filedir -d
            return
            ;;
        -o | --output)
            _filedir
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W "csv plain hdf5" -- "$cur"))
            return
            ;;
        --rotate)
            COMPREPLY=($(compgen -W "30s 10min 1h 1d" -- "$cur"))
            return
            ;;
        --threshold | --polarity | --period | --words | --seconds | --timeout | --tick)
            return
            ;;
    esac
    # What the command takes besides its options: plot a file countctl
    # wrote, scan the word threshold and then its range.
    if [[ $cur != -* ]]; then
        case $command in
            plot)
                _filedir '@(csv|h5|hdf5)'
                return
                ;;
            scan)
                [[ " ${words[*]:1:cword-1} " == *" threshold "* ]] || COMPREPLY=($(compgen -W "threshold" -- "$cur"))
                return
                ;;
        esac
    fi

    local options
    options=$("$program" --complete="$command" 2>/dev/null)
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _countctl countctl
