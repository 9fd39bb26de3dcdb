# bash completion for redomark: commands, options, folder paths, and the ids of
# a folder's redomarks as `redomark list <path> --json` reports them.

# The ids of the folder's redomarks, oldest first; nothing when it has none.
_redomark_ids() {
  local folder=$1
  command redomark list "$folder" --json 2>/dev/null |
    sed -n 's/^ *"id" : "\([^"]*\)".*/\1/p'
}

# Paths saved in the folder's redomark (the latest unless an id is given)
# that begin with the word, relative to the folder, from `redomark show
# --json` of the directory the word names so far; directories end in "/".
_redomark_saved_paths() {
  local folder=$1 id=$2 word=$3 dir="" line kind="" name
  [[ $word == */* ]] && dir=${word%/*}
  local args=(show "$folder")
  [[ -n $id ]] && args+=("$id")
  [[ -n $dir ]] && args+=(--file "$dir")
  while IFS= read -r line; do
    if [[ $line =~ ^\ *\"kind\"\ :\ \"(.*)\",$ ]]; then
      kind=${BASH_REMATCH[1]}
    elif [[ $line =~ ^\ *\"name\"\ :\ \"(.*)\",$ ]]; then
      name=${BASH_REMATCH[1]//\\\"/\"}
      name=${dir:+$dir/}${name//\\\\/\\}
      [[ $kind == directory ]] && name+=/
      [[ $name == "$word"* ]] && printf '%s\n' "$name"
    fi
  done < <(command redomark "${args[@]}" --json 2>/dev/null)
}

# A word as the shell will pass it: quotes and backslashes removed, a leading ~/ expanded.
_redomark_dequote() {
  local word=$1
  word=${word//\'/}
  word=${word//\"/}
  word=$(printf '%s' "$word" | sed 's/\\\(.\)/\1/g')
  # shellcheck disable=SC2088 # the literal tilde the user typed
  [[ $word == "~/"* || $word == "~" ]] && word=$HOME${word#\~}
  printf '%s' "$word"
}

_redomark() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="save list diff show restore undo run delete folders settings help"

  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi

  local command=${COMP_WORDS[1]} options="" valued=""
  case $command in
    save) options="--name --if-changed --auto --json"; valued="--name" ;;
    list) options="--space --json" ;;
    diff) options="--file --patch --json"; valued="--file" ;;
    show) options="--file --json"; valued="--file" ;;
    restore) options="--file --yes"; valued="--file" ;;
    undo | delete) options="--yes" ;;
    run) options="--name --"; valued="--name" ;;
    folders) options="--space --json" ;;
    settings)
      options="--keep --max-age --budget --hourly --daily --weekly --monthly --json"
      valued="--keep --max-age --budget --hourly --daily --weekly --monthly"
      ;;
    *) return ;;
  esac

  # Positionals before the cursor, skipping options and the values they take.
  local i word folder="" id="" positionals=0
  for ((i = 2; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ " $valued " == *" $word "* ]]; then
      ((i++))
    elif [[ $word != -* ]]; then
      ((positionals == 0)) && folder=$(_redomark_dequote "$word")
      ((positionals == 1)) && id=$(_redomark_dequote "$word")
      ((positionals++))
    fi
  done

  case $prev in
    --name | --keep | --hourly | --daily | --weekly | --monthly) return ;;
    --max-age | --budget)
      mapfile -t COMPREPLY < <(compgen -W "none" -- "$cur")
      return
      ;;
    --file)
      if [[ $command == show || $command == diff ]]; then
        # What the redomark holds, which may be gone from the folder.
        mapfile -t COMPREPLY < <(_redomark_saved_paths "$folder" "$id" "$(_redomark_dequote "$cur")")
        compopt -o nospace 2>/dev/null
        return
      fi
      # Paths inside the folder, relative to it.
      [[ -d $folder ]] || return
      local base=${folder%/}/ found
      COMPREPLY=()
      while IFS= read -r found; do
        [[ -d $found ]] && found+=/
        COMPREPLY+=("${found#"$base"}")
      done < <(compgen -f -- "$base$(_redomark_dequote "$cur")")
      compopt -o filenames -o nospace 2>/dev/null
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  case $command in
    folders | settings) return ;;
  esac
  if ((positionals == 0)); then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    return
  fi
  case $command in
    restore | show) ((positionals == 1)) || return ;;
    diff) ((positionals == 1 || positionals == 2)) || return ;;
    delete) ;;
    *) return ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "latest $(_redomark_ids "$folder")" -- "$cur")
}

complete -F _redomark redomark
