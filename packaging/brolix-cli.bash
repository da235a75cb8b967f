# bash completion for brolix-cli: its commands, each command's flags, the editor's options,
# the values some of them take, and the ODBC data sources after -dsn (as unixODBC lists them).

_brolix_cli_sources()
{
    # unixODBC's own listing where its odbcinst is installed, else the section names of the
    # user's and the system's odbc.ini.
    if command -v odbcinst >/dev/null; then
        odbcinst -q -s 2>/dev/null | sed -n 's/^\[\(.*\)\]$/\1/p'
    else
        cat "${ODBCINI:-$HOME/.odbc.ini}" "${ODBCSYSINI:-/etc}/odbc.ini" 2>/dev/null |
            sed -n 's/^[[:space:]]*\[\([^]]*\)\].*$/\1/p' | grep -v '^ODBC Data Sources$'
    fi
}

_brolix_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="check create sync dump export import diff profile plan apply settle history show revert"
    local options="-dsn -ds -db -du -dp -ss -sc -su -sp -ps -cw -debug -ssl -cafile -cadir -crlfile -pemfile -pempwd
                   -wcv -pool -sample"
    local common="--yes --quiet --verbose --password-stdin --help --version"
    COMPREPLY=()
    case $prev in
        -dsn) mapfile -t COMPREPLY < <(compgen -W "$(_brolix_cli_sources)" -- "$cur"); return ;;
        -sample) mapfile -t COMPREPLY < <(compgen -W "first newest spread random" -- "$cur"); return ;;
        -ssl|-wcv) mapfile -t COMPREPLY < <(compgen -W "y n" -- "$cur"); return ;;
        -debug|-cafile|-crlfile|-pemfile|--out) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
        -cadir) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
        -ds|-db|-du|-dp|-ss|-sc|-su|-sp|-ps|-cw|-pempwd|-pool|--only|--except) return ;;
    esac
    local command="" word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi
    local flags=""
    case $command in
        check|profile|history|show) flags="--json" ;;
        create|import) flags="--replace" ;;
        sync) flags="--dry-run --json" ;;
        dump) flags="--all --out" ;;
        export) flags="--out" ;;
        diff) flags="--all --json" ;;
        plan) flags="--json --out" ;;
        apply) flags="--only --except" ;;
        settle) flags="--set-aside" ;;
        revert) flags="--dry-run --force" ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$flags $common $options" -- "$cur")
    elif [[ $command == import || $command == apply ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _brolix_cli brolix-cli
