# Bash completion for tessaline: its commands, their options, and files,
# folders and playlist names where an option takes one.
_tessaline() {
  local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD - 1]}"
  local words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  local commands="export playlists drives diskutil dock-tile script help"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      -*) ;;
      *) if [[ " $commands " == *" ${words[i]} "* ]]; then command="${words[i]}"; break; fi ;;
    esac
  done
  case "$prev" in
    --library | --dock-tile) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --to | --fake-hardware) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --map-prefix) return ;;
    --playlist)
      local list=(playlists --json) j
      for ((j = 1; j < cword; j++)); do [[ "${words[j]}" == --library ]] && list+=(--library "${words[j + 1]}"); done
      local IFS=$'\n'
      COMPREPLY=($(compgen -W "$(tessaline "${list[@]}" 2>/dev/null |
        sed -n 's/^    "name": "\(.*\)",$/\1/p')" -- "$cur"))
      COMPREPLY=("${COMPREPLY[@]// /\\ }")
      return ;;
    --playlist-format)
      COMPREPLY=($(compgen -W "m3u8 m3u8-root m3u m3u-root" -- "$cur"))
      return ;;
    --drive)
      local IFS=$'\n'
      COMPREPLY=($(compgen -W "$(tessaline drives --json 2>/dev/null |
        sed -n 's/^      "title": "\(.*\)",$/\1/p')" -- "$cur"))
      return ;;
  esac
  local options
  case "$command" in
    "") options="--help --version --fake-hardware --dock-tile $commands" ;;
    export) options="--help --library --to --drive --playlist --map-prefix --all-tracks --absolute-paths
      --playlist-format --formats --dry-run -n --yes -y --no-clean --clean --clean-all --verbose -v --quiet -q --json --log" ;;
    playlists) options="--help --library --json" ;;
    drives) options="--help --json --forget" ;;
    help) options="$commands" ;;
    *) options="--help" ;;
  esac
  COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _tessaline tessaline
