# bash completion for brindle-get
_brindle_get() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        -o|--output|--cacert|-i|--input-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -n|--threads|-a|--attempts|--proxy|--ftp-proxy|--user|--password|--buffer-size|\
        --connect-timeout|--stall-timeout|--retry-delay|--max-redirects|-U|--user-agent|\
        --limit-rate|--checksum) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-o --output -n --threads -a --attempts -O --remote-name
            -i --input-file -U --user-agent --limit-rate --checksum -y --yes -c --continue
            --no --keep-parts --passive --active --proxy --ftp-proxy
            --user --password --auth --buffer-size --connect-timeout --stall-timeout
            --retry-delay --cacert -k --insecure --max-redirects -v --verbose -q --quiet
            -s --silent -h --help -V --version' -- "$cur"))
    fi
}
complete -F _brindle_get brindle-get
