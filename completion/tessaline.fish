# Fish completion for tessaline. The program itself says what may come
# next (`tessaline __complete words WORD...`): its commands and options as
# it has them, files and folders, the library's playlists and the drives'
# titles; fish quotes what it inserts.
function __tessaline_complete
    set -l words (commandline -opc)
    set -l current (commandline -ct | string unescape 2>/dev/null)
    or set current (commandline -ct | string trim -l -c "'\"")
    set -l program $words[1]
    set -l answer ($program __complete words $words[2..-1] "$current" 2>/dev/null)
    printf '%s\n' $answer[2..-1]
end
complete -c tessaline -f -a '(__tessaline_complete)'
