# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for varozidi-cli: its commands, their options, file names where a command
# takes a path, and the language names of the collection the command line names.

_varozidi_cli_commands="languages list show add edit remove history removed undelete search backup check export
    import sync"

# The options each command takes besides --data-dir, --database, --json and --help.
_varozidi_cli_options() {
    case $1 in
    list) echo --language ;;
    show) echo --version ;;
    add) echo --language --title ;;
    export) echo --format --with-history ;;
    import) echo --dry-run ;;
    backup) echo --force ;;
    sync) echo --folder --stop ;;
    esac
}

# The language names, asked of varozidi-cli itself with the data folder or server already
# typed. The names are data, never code: they are matched and quoted, not expanded.
_varozidi_cli_languages() {
    local cur=$1
    shift
    local prefix=${cur#[\'\"]}
    prefix=${prefix//\\/}
    local name quoted
    while IFS= read -r name; do
        [[ $name == "$prefix"* ]] || continue
        printf -v quoted %q "$name"
        COMPREPLY+=("$quoted")
    done < <(timeout 3 varozidi-cli "$@" languages 2>/dev/null)
}

# A path as typed, as the shell will pass it: ~/, quotes and backslashes undone, nothing run.
_varozidi_cli_dequote() {
    local value=$1
    [[ $value == "~/"* ]] && value=$HOME/${value#"~/"}
    if [[ $value == \'*\' || $value == \"*\" ]] && [[ ${#value} -ge 2 ]]; then
        value=${value:1:${#value}-2}
    else
        value=${value//\\/}
    fi
    printf '%s' "$value"
}

_varozidi_cli() {
    COMPREPLY=()
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    # --option=value arrives as three words: --option, =, value.
    if [[ $cur == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        cur=
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    local command= word value i
    local -a pass=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        --data-dir | --database | --language | --title | --format)
            value=${COMP_WORDS[i + 1]}
            if [[ $value == = ]]; then
                ((i++))
                value=${COMP_WORDS[i + 1]}
            fi
            ((i++))
            [[ $i -lt $COMP_CWORD ]] || break
            if [[ $word == --data-dir || $word == --database ]]; then
                pass+=("$word" "$(_varozidi_cli_dequote "$value")")
            fi
            ;;
        --data-dir=* | --database=*) pass+=("$word") ;;
        # After show, the version's number; anywhere else the tool's own version.
        --version) [[ $command == show ]] && ((i++)) ;;
        -*) ;;
        *) [[ -n $command ]] || command=$word ;;
        esac
    done

    case $prev in
    --data-dir)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        compopt -o filenames 2>/dev/null
        return
        ;;
    --database | --title) return ;;
    --version) [[ $command == show ]] && return ;;
    --format)
        mapfile -t COMPREPLY < <(compgen -W "json folder" -- "$cur")
        return
        ;;
    --language)
        _varozidi_cli_languages "$cur" "${pass[@]}"
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--data-dir --database --json --help
            $(_varozidi_cli_options "$command")" -- "$cur")
    elif [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_varozidi_cli_commands" -- "$cur")
    else
        case $command in
        backup | export | import)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            compopt -o filenames 2>/dev/null
            ;;
        esac
    fi
}
complete -F _varozidi_cli varozidi-cli
