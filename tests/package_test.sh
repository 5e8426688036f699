#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs a real join
# from PATH, reads the manual page and removes the package again.
set -euo pipefail
build=$(cd "$1" && pwd)
# 77: CTest's "skipped", for a run by a user who cannot install packages.
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' docjoin 2>/dev/null | grep -q 'install ok installed'; then
  echo "docjoin is installed already; this test installs and removes it"
  exit 1
fi
work=$(mktemp -d)
trap 'apt-get remove -y -qq docjoin >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/docjoin_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null 2>&1

"$build/bin/make_samples" "$work"
cd "$work"
status=0
env PATH=/usr/bin:/bin docjoin -w 0 -o x.pdf scan.tif report.pdf || status=$?
[ "$status" -eq 1 ] || { echo "docjoin from PATH ended with status $status"; exit 1; }
pages=$(pdfinfo x.pdf | sed -n 's/^Pages: *//p')
[ "$pages" = 5 ] || { echo "the joined file has $pages pages, not 5"; exit 1; }
[ "$(command -v docjoin)" = /usr/bin/docjoin ] || { echo "docjoin is not the installed one"; exit 1; }
man -w docjoin | grep -q '/usr/share/man/man1/docjoin.1' || { echo "no manual page for docjoin"; exit 1; }
MANPAGER=cat man docjoin 2>/dev/null | grep -q 'join documents' || { echo "man docjoin shows no page"; exit 1; }
MANPAGER=cat man dochost 2>/dev/null | grep -q 'DocInsertPages' || { echo "man dochost shows no page"; exit 1; }
[ -f /usr/share/bash-completion/completions/docjoin ] || { echo "no bash completion installed"; exit 1; }

apt-get remove -y -qq docjoin >/dev/null 2>&1
[ ! -e /usr/bin/docjoin ] && [ ! -e /usr/bin/dochost ] || { echo "the package left files behind"; exit 1; }
echo "package: installed, joined, read its manual, removed"
