# Bash completion for docjoin: its options, then file names.
_docjoin()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} i
    case $prev in
        -o|-s|-l)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -w)
            COMPREPLY=($(compgen -W "0 1 2 5 10" -- "$cur"))
            return
            ;;
    esac
    # Options only before the first file name.
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -o|-s|-l|-w) ((i++)) ;;
            -v|-e) ;;
            *) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        esac
    done
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-o -v -s -l -e -w" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _docjoin docjoin
