# bash completion for brindle-get (made by brindle-get-docs from its option table)
# Names a folder with a slash after it, and completes --opt=VALUE as --opt VALUE.
_brindle_get() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev= opt= value= prefix= words= f
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $cur == --*=* ]]; then
        opt=${cur%%=*} value=${cur#*=} prefix=${cur%%=*}=
    elif [[ $cur == = && $prev == --* ]]; then
        opt=$prev
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        opt=${COMP_WORDS[COMP_CWORD-2]} value=$cur
    else
        opt=$prev value=$cur
    fi
    case $opt in
        -o|--output|-i|--input-file|--cacert)
            COMPREPLY=()
            local IFS=$'\n'
            for f in $(compgen -f -- "$value"); do
                [[ -d $f ]] && f+=/
                COMPREPLY+=("$prefix$f")
            done
            [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == */ ]] &&
                compopt -o nospace 2>/dev/null
            return ;;
        -n|--threads|-a|--attempts|--proxy|--ftp-proxy|-U|--user-agent|--limit-rate|--user|--password|--buffer-size|--connect-timeout|--stall-timeout|--retry-delay|--max-redirects) return ;;
        --checksum) words='sha256= sha512= sha1= md5=' ;;
    esac
    if [[ -n $words ]]; then
        COMPREPLY=($(compgen -P "$prefix" -W "$words" -- "$value"))
        compopt -o nospace 2>/dev/null
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-o --output -O --remote-name -J --content-disposition -i --input-file -n --threads -a --attempts -c --continue -y --yes --no --clobber --keep-parts --passive --active --proxy --ftp-proxy -U --user-agent --limit-rate --checksum --user --password --auth --buffer-size --connect-timeout --stall-timeout --retry-delay --cacert -k --insecure --max-redirects -v --verbose -q --quiet -s --silent -h --help -V --version' -- "$cur"))
    fi
}
complete -F _brindle_get brindle-get
