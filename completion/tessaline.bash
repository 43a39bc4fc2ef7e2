# Bash completion for tessaline. The program itself says what may come
# next (`tessaline __complete bash LINE`): its commands and options as it
# has them, files and folders, the library's playlists and the drives'
# titles, each reply already quoted as one shell word.
_tessaline() {
  local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} typed reply
  local -a replies=()
  [[ $program == '~/'* ]] && program=$HOME/${program#\~/}
  {
    IFS= read -r typed
    mapfile -t replies
  } < <("$program" __complete bash "${COMP_LINE:0:COMP_POINT}" 2>/dev/null)
  # Bash splits words at = and : too, and replaces only what follows;
  # the program answers for the whole word.
  local before=""
  [[ $typed == *"$cur" ]] && before=${typed%"$cur"}
  COMPREPLY=()
  for reply in "${replies[@]}"; do
    COMPREPLY+=("${reply#"$before"}")
  done
  # A folder is completed further, not ended with a blank.
  if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]]; then
    compopt -o nospace 2>/dev/null
  fi
  return 0
}
complete -F _tessaline tessaline
