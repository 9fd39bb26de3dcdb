# shellcheck shell=bash
# Sourced by the scripts. One build tree per set of flags, so that a script never
# reconfigures a tree that another one built with different flags (which makes
# Ninja rebuild all of it): the demo and the tests share build/, the sanitizer
# run has build/sanitize, the fuzzers build/fuzz and the benchmark build/bench.

# A heading for each phase, so that a long build is never silent, with the
# seconds since the script started, so that it is plain where the time goes.
phase() { printf '\n==> %s  [%ds]\n' "$*" "$SECONDS"; }

configure_main() {
  cmake -S . -B build -G Ninja -DREDOMARK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

# What the demo builds: the tool alone, which is all cmake --install needs besides
# what it makes itself.
build_tool() {
  configure_main
  cmake --build build --target redomark
}

configure_sanitize() {
  cmake -S . -B build/sanitize -G Ninja -DREDOMARK_WERROR=ON -DREDOMARK_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
}
