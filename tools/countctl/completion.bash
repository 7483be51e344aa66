# Bash completion for countctl: its commands (and the options every command
# takes, which may come before the command), then each command's options,
# and the formats and files their values take.

_countctl()
{
    local cur prev words cword
    _init_completion -s || return

    local commands="status reset start stop set read acquire ifc scan plot"
    local command="" i
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
        COMPREPLY=($(compgen -W "$commands --help --version --wait --quiet --config" -- "$cur"))
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

    local options="--wait --quiet --config --help"
    case $command in
        status) options+=" --json" ;;
        set) options+=" --threshold --polarity --period" ;;
        read) options+=" --timeout --output --format --summary" ;;
        plot) options+=" --output" ;;
        scan) options+=" --polarity --period --words --seconds --tick --output" ;;
        acquire) options+=" --threshold --polarity --period --words --seconds --tick --output --format --summary --rotate --output-dir" ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _countctl countctl
