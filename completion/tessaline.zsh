#compdef tessaline
# Zsh completion for tessaline. The program itself says what may come
# next (`tessaline __complete words WORD...`): its commands and options
# as it has them, the library's playlists and the drives' titles; zsh
# quotes what it inserts, and completes files and folders itself.
local program=${(Q)words[1]}
[[ $program == '~/'* ]] && program=$HOME/${program#\~/}
local -a answer
answer=("${(@f)$("$program" __complete words "${(@Q)words[2,CURRENT]}" 2>/dev/null)}")
local kind=${answer[1]}
shift answer
case $kind in
  files | dirs)
    [[ $PREFIX == --*=* ]] && compset -P '*='
    if [[ $kind == dirs ]]; then _files -/; else _files; fi
    ;;
  words)
    (( ${#answer} )) && compadd -- "${answer[@]}"
    ;;
esac

