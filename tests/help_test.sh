#!/usr/bin/env bash
# Help, versions and man pages: --help of zevora-cli and of each command
# (exit 0, standard output only), --version of both programs (the window's
# without a display), "unknown option" for an unknown option of each
# command, man pages that groff and lexgrog take without a warning and that
# name every option --help names, installed by cmake --install.
set -u
cli="$1"
window="$2"   # "none" where the window is not built
version="$3"
docs="$4"
build="$5"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name="$1"
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}

# helps ARGS...: exit 0, a usage on standard output, nothing on standard error
helps() {
  "$cli" "$@" > "$tmp/out" 2> "$tmp/err" && [ ! -s "$tmp/err" ] && head -n 1 "$tmp/out" | grep -q "^usage: zevora-cli"
}
for args in "--help" "-h" "info --help" "render --help" "play --help" "render song.xm -o x.wav --help" \
  "play a.xm b.xm -h"; do
  # shellcheck disable=SC2086
  check "zevora-cli $args" helps $args
done
check "zevora-cli --version" test "$("$cli" --version 2>&1)" = "zevora-cli $version"
check "render --help names the accepted endings" bash -c '"$0" render --help | grep -q "\.wav, \.flac, \.ogg or \.mp3"' "$cli"

# unknown ARGS...: exit 2, one line on standard error naming the option
unknown() {
  "$cli" "$@" > "$tmp/out" 2> "$tmp/err"
  [ $? -eq 2 ] && [ ! -s "$tmp/out" ] && [ "$(wc -l < "$tmp/err")" -eq 1 ] && grep -q "unknown option --bogus" "$tmp/err"
}
for args in "--bogus" "info --bogus" "info song.xm --bogus" "render --bogus" "render song.xm --bogus 3" \
  "play --bogus" "play song.xm --bogus" "play --bogus 3 song.xm"; do
  # shellcheck disable=SC2086
  check "zevora-cli $args is an unknown option" unknown $args
done

if [ "$window" != none ]; then
  check "zevora --version without a display" test "$(env -u DISPLAY -u WAYLAND_DISPLAY "$window" --version 2>&1)" = \
    "zevora $version"
  check "zevora --help without a display" bash -c \
    'env -u DISPLAY -u WAYLAND_DISPLAY "$0" --help > "$1/out" 2> "$1/err" && [ ! -s "$1/err" ] && grep -q "^usage: zevora" "$1/out"' \
    "$window" "$tmp"
fi

pages=(zevora-cli.1)
[ "$window" != none ] && pages+=(zevora.1)
if command -v groff > /dev/null; then
  for page in "${pages[@]}"; do
    check "$page: groff gives no warning" bash -c '[ -z "$(groff -mandoc -wall -z -Tutf8 "$0" 2>&1)" ]' "$docs/$page"
  done
  # Every option a --help names is in the man page.
  groff -mandoc -Tutf8 -P-cbou "$docs/zevora-cli.1" 2> /dev/null > "$tmp/page"
  for command in "" info render play; do
    # shellcheck disable=SC2086
    for option in $("$cli" $command --help | grep -o -- '--[a-z-]*\|-o ' | sort -u); do
      check "zevora-cli.1 names ${command:-zevora-cli} $option" grep -q -- "$option" "$tmp/page"
    done
  done
  if [ "$window" != none ]; then
    groff -mandoc -Tutf8 -P-cbou "$docs/zevora.1" 2> /dev/null > "$tmp/page"
    for option in $("$window" --help | grep -o -- '--[a-z-]*' | sort -u); do
      check "zevora.1 names zevora $option" grep -q -- "$option" "$tmp/page"
    done
  fi
else
  echo "skipped: groff is not installed"
fi
if command -v lexgrog > /dev/null; then
  for page in "${pages[@]}"; do
    check "$page: lexgrog finds its name" bash -c 'lexgrog "$0" > /dev/null' "$docs/$page"
  done
else
  echo "skipped: lexgrog is not installed"
fi

check "cmake --install puts the man pages in share/man/man1" bash -c \
  'cmake --install "$0" --prefix "$1/prefix" > /dev/null && for p in "${@:3}"; do cmp -s "$2/$p" "$1/prefix/share/man/man1/$p" || exit 1; done' \
  "$build" "$tmp" "$docs" "${pages[@]}"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
