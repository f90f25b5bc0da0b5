# bash completion for the velk command-line tools: the options each program's
# -h text names, velk_isotp's and velk_uds's commands, adapter devices for the port argument, and file names.

_velk_ports()
{
    local p
    for p in /dev/ttyACM* /dev/ttyUSB* /dev/ttyCAN* /dev/serial/by-id/*; do
        [ -e "$p" ] && printf '%s\n' "$p"
    done
}

_velk_uds_commands="session reset read write dtc clear-dtc routine security tester-present raw"

_velk_tool()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local IFS=$'\n'
    COMPREPLY=()
    if [[ ${1##*/} == velk_isotp && $COMP_CWORD -eq 1 ]]; then
        COMPREPLY=($(compgen -W $'send\nrecv\ndump' -- "$cur"))
        return
    fi
    # velk_uds: the command follows PORT and CHANNEL, after the options.
    if [[ ${1##*/} == velk_uds && $cur != -* && $COMP_CWORD -ge 3 && ${COMP_WORDS[COMP_CWORD-2]} != -* &&
        ${COMP_WORDS[COMP_CWORD-1]} =~ ^(CAN[12]|[12]|can[0-9]+)$ ]]; then
        COMPREPLY=($(compgen -W "${_velk_uds_commands// /$'\n'}" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local opts
        opts=$("$1" -h 2>&1 | grep -oE '(^|[[:space:],[])--?[A-Za-z0-9][A-Za-z0-9-]*' |
            sed 's/^[][:space:],[]*//' | sort -u)
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -W "$(_velk_ports)" -- "$cur") $(compgen -f -- "$cur"))
}

complete -o filenames -F _velk_tool velk_dump velk_send velk_replay velk_list velk_sim velk_decode velk_convert velk_bridge velk_socketcand velk_isotp velk_uds
