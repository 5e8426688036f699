#!/usr/bin/env bash
# Bash completion of docjoin: options before the first file name, files after
# the options that take one, files anywhere else.
set -euo pipefail
source "$1/scripts/docjoin-completion.bash"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch scan.tif report.pdf
failures=0

expect() { # words..., then "--", then the expected completions
  local words=() expected=()
  while [[ $1 != "--" ]]; do words+=("$1"); shift; done
  shift
  expected=("$@")
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMPREPLY=()
  _docjoin || true # compgen finding nothing is no failure
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  local want
  want=$(printf '%s\n' "${expected[@]}" | sort | tr '\n' ' ')
  if [ "$got" != "$want" ]; then
    echo "completing '${words[*]}': got '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}

expect docjoin - -- -o -v -s -l -e -w
expect docjoin -v -o r -- report.pdf
expect docjoin -o out.pdf s -- scan.tif
expect docjoin -s - -l "" -- report.pdf scan.tif
expect docjoin scan.tif - --
expect docjoin -w "" -- 0 1 2 5 10
if [ "$failures" -ne 0 ]; then
  echo "0 passed, $failures failed"
  exit 1
fi
echo "completion: all cases passed"
