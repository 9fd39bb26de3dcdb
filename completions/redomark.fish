# fish completion for redomark: commands, options, folder paths, and the ids of
# a folder's redomarks as `redomark list <path> --json` reports them.

set -l redomark_commands save list diff show restore undo run delete folders settings help

# The folder as typed: the first word after the command that is neither an
# option nor an option's value.
function __redomark_folder
    set -l words (commandline -opc)
    set -l skip 0
    for word in $words[3..-1]
        if test $skip -eq 1
            set skip 0
        else if contains -- $word --name --file
            set skip 1
        else if not string match -q -- '-*' $word
            echo $word
            return
        end
    end
    return 1
end

# How many positionals precede the cursor (the folder counts as one).
function __redomark_positionals
    set -l words (commandline -opc)
    set -l count 0
    set -l skip 0
    for word in $words[3..-1]
        if test $skip -eq 1
            set skip 0
        else if contains -- $word --name --file --keep --max-age --budget --hourly --daily --weekly --monthly
            set skip 1
        else if not string match -q -- '-*' $word
            set count (math $count + 1)
        end
    end
    echo $count
end

function __redomark_ids
    set -l folder (__redomark_folder); or return
    echo latest
    command redomark list $folder --json 2>/dev/null | string replace -rf '^ *"id" : "([^"]*)".*' '$1'
end

# Paths saved in the folder's latest redomark, relative to the folder, from
# `redomark show --json` of the directory typed so far.
function __redomark_saved
    set -l folder (__redomark_folder); or return
    set -l dir (string replace -rf '/[^/]*$' '' -- (commandline -ct))
    set -l args show $folder --json
    test -n "$dir"; and set args show $folder --file $dir --json
    set -l kind
    command redomark $args 2>/dev/null | while read -l line
        if set -l k (string match -rg '^ *"kind" : "(.*)",$' -- $line)
            set kind $k
        else if set -l name (string match -rg '^ *"name" : "(.*)",$' -- $line)
            test -n "$dir"; and set name $dir/$name
            test "$kind" = directory; and set name $name/
            echo $name
        end
    end
end

# Paths inside the folder, relative to it.
function __redomark_inside
    set -l folder (__redomark_folder); or return
    set -l token (commandline -ct)
    test -d $folder; or return
    for found in $folder/$token*
        if test -d $found
            echo (string replace -- "$folder/" '' $found)/
        else
            string replace -- "$folder/" '' $found
        end
    end
end

function __redomark_wants_folder
    __fish_seen_subcommand_from save list diff show restore undo run delete; and test (__redomark_positionals) -eq 0
end

function __redomark_wants_id
    if __fish_seen_subcommand_from restore show
        test (__redomark_positionals) -eq 1
    else if __fish_seen_subcommand_from diff
        contains -- (__redomark_positionals) 1 2
    else
        __fish_seen_subcommand_from delete; and test (__redomark_positionals) -ge 1
    end
end

complete -c redomark -f
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -l help -s h -d 'Show the usage'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -l version -d 'Show the version'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a save -d 'Save a redomark of a folder'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a list -d 'List saved redomarks'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a diff -d 'Show what changed since a redomark, or between two'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a show -d 'Print a saved file, or list a saved folder'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a restore -d 'Put the folder (or one file/subfolder) back'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a undo -d 'Undo the last restore of a folder'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a run -d 'Run a command with an undo point taken just before it'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a delete -d 'Delete saved redomarks of a folder'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a folders -d 'List every folder that has saved redomarks'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a settings -d 'Show or change how many redomarks are kept'
complete -c redomark -n "not __fish_seen_subcommand_from $redomark_commands" -a help -d 'Show the usage'

complete -c redomark -n __redomark_wants_folder -a '(__fish_complete_directories (commandline -ct))'
complete -c redomark -n __redomark_wants_id -a '(__redomark_ids)' -d 'redomark id'

complete -c redomark -n '__fish_seen_subcommand_from save run' -l name -x -d 'Label of the redomark'
complete -c redomark -n '__fish_seen_subcommand_from save' -l if-changed -d 'Only if the folder changed'
complete -c redomark -n '__fish_seen_subcommand_from save' -l auto -d 'An automatic redomark, only if the folder changed'
complete -c redomark -n '__fish_seen_subcommand_from list folders' -l space -d 'Show the disk each one uses alone'
complete -c redomark -n '__fish_seen_subcommand_from save list diff show folders settings' -l json -d 'Print JSON'
complete -c redomark -n '__fish_seen_subcommand_from diff show' -l file -x -a '(__redomark_saved)' -d 'Only this saved file or subfolder'
complete -c redomark -n '__fish_seen_subcommand_from diff' -l patch -d 'Show the content changes of files'
complete -c redomark -n '__fish_seen_subcommand_from restore' -l file -x -a '(__redomark_inside)' -d 'Put back one file or subfolder'
complete -c redomark -n '__fish_seen_subcommand_from restore undo delete' -l yes -d 'Do not ask for confirmation'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l keep -x -d 'Redomarks kept of each folder'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l max-age -x -a none -d 'Age limit in days'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l budget -x -a none -d 'Bytes each store may use'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l hourly -x -d 'Hours with an automatic redomark kept'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l daily -x -d 'Days with an automatic redomark kept'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l weekly -x -d 'Weeks with an automatic redomark kept'
complete -c redomark -n '__fish_seen_subcommand_from settings' -l monthly -x -d 'Months with an automatic redomark kept'
