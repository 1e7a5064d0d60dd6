# SPDX-License-Identifier: GPL-3.0-or-later
# fish completion for varozidi-cli: its commands, their options, file names where a command
# takes a path, and the language names of the collection the command line names.

# The language names, asked of varozidi-cli itself with the data folder or server already typed.
function __varozidi_cli_languages
    set -l tokens (commandline -opc)
    set -l pass
    for i in (seq 2 (count $tokens))
        switch $tokens[$i]
            case --data-dir --database
                if test $i -lt (count $tokens)
                    set -a pass $tokens[$i] $tokens[(math $i + 1)]
                end
            case '--data-dir=*' '--database=*'
                set -a pass $tokens[$i]
        end
    end
    timeout 3 varozidi-cli $pass languages 2>/dev/null
end

set -l commands languages list show add edit remove history removed undelete search backup check export import sync
complete -c varozidi-cli -f
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a languages -d 'the language list, as the program shows it'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a list -d 'ID, language and title of each snippet'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a show -d 'the body of a snippet, byte for byte as stored'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a add -d 'a new snippet with its body from standard input'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a edit -d "replace a snippet's body with standard input"
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a remove -d 'delete one snippet'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a history -d 'the earlier versions of a snippet kept'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a removed -d 'the removed snippets still kept'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a undelete -d 'bring a removed snippet back'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a search -d 'the snippets holding a text, best match first'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a backup -d 'a consistent copy of the database'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a check -d 'check the database and its search index'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a export -d 'every snippet into a new JSON file or folder tree'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a import -d 'add the snippets of a file or folder'
complete -c varozidi-cli -n "not __fish_seen_subcommand_from $commands" -a sync -d 'bring the collection and its sync folder in step'

complete -c varozidi-cli -l data-dir -x -a '(__fish_complete_directories)' -d 'use another data folder'
complete -c varozidi-cli -l database -x -d 'use the collection on a PostgreSQL server'
complete -c varozidi-cli -l json -d 'print data as JSON'
complete -c varozidi-cli -s h -l help -d 'describe the command and change nothing'

complete -c varozidi-cli -n '__fish_seen_subcommand_from list add' -l language -x -a '(__varozidi_cli_languages)' -d 'language'
complete -c varozidi-cli -n '__fish_seen_subcommand_from show' -l version -x -d 'an earlier version (see history)'
complete -c varozidi-cli -n '__fish_seen_subcommand_from add' -l title -x -d 'title'
complete -c varozidi-cli -n '__fish_seen_subcommand_from export' -l format -x -a 'json folder' -d 'format'
complete -c varozidi-cli -n '__fish_seen_subcommand_from export' -l with-history -d 'the earlier versions and removed snippets kept too'
complete -c varozidi-cli -n '__fish_seen_subcommand_from import' -l dry-run -d 'list what would be added and change nothing'
complete -c varozidi-cli -n '__fish_seen_subcommand_from sync' -l folder -r -a '(__fish_complete_directories)' -d 'the folder to sync with'
complete -c varozidi-cli -n '__fish_seen_subcommand_from sync' -l stop -d 'forget the folder; its files stay'
complete -c varozidi-cli -n '__fish_seen_subcommand_from backup' -l force -d 'replace FILE even when it is no collection database'
complete -c varozidi-cli -n '__fish_seen_subcommand_from backup export import' -F
