#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR and uses what landed there the
# way a user and a plugin author would: the tool, the man page, the bash and
# fish completions against real redomarks, and examples/ built with find_package.
#   tests/install_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER
set -euo pipefail
build=$1 source=$2 compiler=$3
# Run by itself, like the test binary, it takes the volumes of build/volumes.
if [[ -z ${REDOMARK_TEST_BTRFS:-} && -f $source/build/volumes/env ]]; then
  # shellcheck disable=SC1091
  source "$source/build/volumes/env"
fi
: "${REDOMARK_TEST_BTRFS:?is not set: run the tests through scripts/test, or scripts/volumes up build/volumes first}"

stage=$(mktemp -d "$REDOMARK_TEST_BTRFS/install-XXXXXX")
trap 'rm -rf "$stage"' EXIT
failures=0
expect() {  # expect WHAT EXPECTED ACTUAL
  if [[ $2 != "$3" ]]; then
    printf 'FAILED: %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

DESTDIR=$stage/root cmake --install "$build" --prefix /usr/local >/dev/null
prefix=$stage/root/usr/local

# Exactly these files, nothing more.
headers=$(cd "$source" && find core -name '*.h' | sed 's|^|include/redomark/|')
expected=$(sort <<LIST
bin/redomark
lib/libredomark_core.a
lib/cmake/Redomark/RedomarkConfig.cmake
lib/cmake/Redomark/RedomarkConfigVersion.cmake
lib/cmake/Redomark/RedomarkTargets.cmake
lib/cmake/Redomark/RedomarkTargets-$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]').cmake
share/man/man1/redomark.1.gz
share/doc/redomark/copyright
share/doc/redomark/changelog.gz
share/bash-completion/completions/redomark
share/zsh/site-functions/_redomark
share/fish/vendor_completions.d/redomark.fish
lib/systemd/user/redomark-auto@.service
lib/systemd/user/redomark-auto@.timer
$headers
LIST
)
expect "installed files" "$expected" "$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)"
expect "installed --version" "redomark 0.1.0" "$("$prefix/bin/redomark" --version)"

# The page renders, with its sections in order, every command, and the warning.
page=$(MANWIDTH=100 man -l "$prefix/share/man/man1/redomark.1.gz" 2>&1 | col -b)
expect "page sections" "NAME SYNOPSIS DESCRIPTION COMMANDS FILES EXIT STATUS EXAMPLES SEE ALSO" \
  "$(grep -E '^[A-Z][A-Z ]+$' <<<"$page" | tr '\n' ' ' | sed 's/ $//')"
expect "page commands" "save list diff show restore undo run delete folders settings" \
  "$(grep -oE '^       (save|list|diff|show|restore|undo|run|delete|folders|settings) ' <<<"$page" | awk '{print $1}' | tr '\n' ' ' | sed 's/ $//')"
expect "page warning" "1" "$(grep -c 'A redomark is not a backup\.' <<<"$page")"
for text in '.local/share/Redomark/Checkpoints' '<mount>/.redomark-checkpoints/<uid>' \
  '<mount>/.redomark-checkpoints-<uid>' '.local/share/Redomark/settings.json' '.local/share/Trash' '130'; do
  expect "page mentions $text" "yes" "$(grep -qF -- "$text" <<<"$page" && echo yes || echo no)"
done

# The timer's units as the user's systemd reads them (not even a warning),
# installed where the service's tool and page really are.
cmake --install "$build" --prefix "$stage/prefix" >/dev/null
units=$stage/prefix/lib/systemd/user
mkdir -m 700 "$stage/runtime"
if ! XDG_RUNTIME_DIR=$stage/runtime MANPATH=$stage/prefix/share/man systemd-analyze verify --user \
  "$units/redomark-auto@.service" "$units/redomark-auto@.timer" >"$stage/verify.log" 2>&1 || [[ -s $stage/verify.log ]]; then
  cat "$stage/verify.log"
  failures=$((failures + 1))
fi
expect "the service saves the instance's folder" "ExecStart=$stage/prefix/bin/redomark save \"%f\" --auto" \
  "$(grep '^ExecStart=' "$units/redomark-auto@.service")"

# Two real redomarks of a folder on the test volume, with the home there too
# so the default store is on that volume.
export HOME=$stage/home PATH=$prefix/bin:$PATH
folder=$stage/site
mkdir -p "$HOME" "$folder/pages"
printf 'one\n' >"$folder/index.html"
redomark save "$folder" >/dev/null
redomark save "$folder" >/dev/null
ids=$(redomark list "$folder" --json | sed -n 's/^ *"id" : "\([^"]*\)".*/\1/p')
expect "two redomarks" "2" "$(wc -l <<<"$ids")"

complete_line() {  # the completions bash offers for the words given, the last one being completed
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _redomark; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$prefix/share/bash-completion/completions/redomark" "$@"
}
expect "bash: commands" "$(printf 'diff\ndelete')" "$(complete_line redomark d)"
expect "bash: options" "$(printf -- '--space\n--json')" "$(complete_line redomark list "$folder" --)"
expect "bash: settings values" "none" "$(complete_line redomark settings --budget n)"
expect "bash: folders" "$folder/pages" "$(complete_line redomark save "$folder/pa")"
expect "bash: ids" "$(printf 'latest\n%s' "$ids")" "$(complete_line redomark diff "$folder" '')"
expect "bash: ids by prefix" "$(head -n 1 <<<"$ids")" "$(complete_line redomark delete "$folder" --yes "$(head -c 19 <<<"$ids")")"
expect "bash: id after options" "latest" "$(complete_line redomark restore --yes "$folder" l)"
expect "bash: a second id for diff" "$(printf 'latest\n%s' "$ids")" "$(complete_line redomark diff "$folder" latest '')"
expect "bash: no third id for diff" "" "$(complete_line redomark diff "$folder" latest latest '')"
expect "bash: saved paths" "$(printf 'index.html\npages/')" "$(complete_line redomark show "$folder" --file '' | sort)"
expect "bash: paths inside the folder" "$(printf 'index.html\npages/')" "$(complete_line redomark restore "$folder" --file '' | sort)"
bash -c "source '$prefix/share/bash-completion/completions/redomark'; complete -p redomark" >"$stage/complete"
expect "bash: registered" "complete -F _redomark redomark" "$(cat "$stage/complete")"

fish_complete() {  # what fish offers for the command line given, candidates only, sorted
  fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$prefix/share/fish/vendor_completions.d/redomark.fish" "$1" |
    cut -f1 | sort
}
expect "fish: commands" "$(printf 'delete\ndiff')" "$(fish_complete 'redomark d')"
expect "fish: options" "$(printf -- '--json\n--space')" "$(fish_complete "redomark list $folder --")"
expect "fish: ids" "$(printf '%s\nlatest' "$ids" | sort)" "$(fish_complete "redomark restore $folder ")"
expect "fish: paths inside the folder" "pages/" "$(fish_complete "redomark restore $folder --file pa")"
expect "fish: saved paths" "index.html" "$(fish_complete "redomark diff $folder --file in")"
zsh -n "$prefix/share/zsh/site-functions/_redomark" || expect "zsh: the completion parses" "" "error"

# A program outside the tree finds the installed package and runs the engine.
printf 'new\n' >"$folder/pages/new.html"
if ! { cmake -S "$source/examples" -B "$stage/example" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_PREFIX_PATH="$prefix" && cmake --build "$stage/example"; } >"$stage/example.log" 2>&1; then
  cat "$stage/example.log"
  exit 1
fi
expect "example output" \
  "$(sed 's/$/  1 files/' <<<"$ids")
1 change(s) since $(tail -n 1 <<<"$ids")
+ pages/new.html" \
  "$("$stage/example/folder_status" "$folder")"
expect "example on a folder never saved" "$stage has no redomarks" "$("$stage/example/folder_status" "$stage")"

# The Debian package: its dependencies, lintian's verdict, and what it installs.
(cd "$build" && cpack -G DEB -B "$stage/package") >"$stage/cpack.log" 2>&1 || { cat "$stage/cpack.log"; exit 1; }
deb=$(echo "$stage"/package/redomark_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libicu libsimdjson; do
  [[ $depends == *"$library"* ]] || expect "package depends on $library" "$library" "$depends"
done
if ! lintian --fail-on error "$deb" >"$stage/lintian.log" 2>&1; then
  cat "$stage/lintian.log"
  failures=$((failures + 1))
fi
dpkg-deb -x "$deb" "$stage/unpacked"
expect "packaged --version" "redomark 0.1.0" "$("$stage/unpacked/usr/bin/redomark" --version)"
expect "packaged service" 'ExecStart=/usr/bin/redomark save "%f" --auto' \
  "$(grep '^ExecStart=' "$stage/unpacked/usr/lib/systemd/user/redomark-auto@.service")"
expect "packaged page" "$page" "$(MANWIDTH=100 man -l "$stage/unpacked/usr/share/man/man1/redomark.1.gz" 2>&1 | col -b)"

# A fresh copy of the tree built as the demo builds it, the tool alone, installs
# whole: the install makes the page and the changelog it needs.
mkdir "$stage/fresh"
git -C "$source" ls-files -z --cached --others --exclude-standard |
  tar -C "$source" --null --no-recursion --ignore-failed-read -cf - -T - | tar -C "$stage/fresh" -xf -
if ! (cd "$stage/fresh" && source scripts/trees.sh && build_tool && DESTDIR=$stage/fresh-root cmake --install build) \
  >"$stage/fresh.log" 2>&1; then
  cat "$stage/fresh.log"
  failures=$((failures + 1))
fi
expect "installed after the demo's build" "$(cd "$prefix" && find . -type f | sort)" \
  "$(cd "$stage/fresh-root/usr/local" 2>/dev/null && find . -type f | sort)"

((failures == 0))
