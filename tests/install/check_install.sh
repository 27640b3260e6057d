#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop and a shell get from it.
# Usage: check_install.sh BUILD_DIR BRINDLE_GET WITH_GUI
set -euo pipefail
build=$1 get=$2 gui=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
files=(bin/brindle-get share/man/man1/brindle-get.1 share/man/man1/brindle.1
  share/applications/org.brindle.Brindle.desktop share/metainfo/org.brindle.Brindle.metainfo.xml
  share/icons/hicolor/scalable/apps/org.brindle.Brindle.svg
  share/bash-completion/completions/brindle-get)
for s in 16 32 48 128 256; do files+=("share/icons/hicolor/${s}x$s/apps/org.brindle.Brindle.png"); done
[ "$gui" = 1 ] && files+=(bin/brindle)
for f in "${files[@]}"; do [ -s "$prefix/$f" ] || { echo "missing: $f"; exit 1; }; done
"$prefix/bin/brindle-get" --version >/dev/null

desktop-file-validate "$share/applications/org.brindle.Brindle.desktop"
appstreamcli validate --no-net "$share/metainfo/org.brindle.Brindle.metainfo.xml" >/dev/null
for page in brindle-get brindle; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/$page.1" 2>&1 >/dev/null)
  [ -z "$out" ] || { echo "man $page: $out"; exit 1; }
done

# Every long option the program lists must be in the completion and the man page.
completion=$share/bash-completion/completions/brindle-get
page=$share/man/man1/brindle-get.1
for opt in $("$get" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$opt" "$completion" || { echo "completion lacks $opt"; exit 1; }
  grep -q -- "${opt//-/\\\\-}" "$page" || { echo "man page lacks $opt"; exit 1; }
done
got=$(bash -c 'source "$1"; COMP_WORDS=(brindle-get --vers); COMP_CWORD=1; _brindle_get
  echo "${COMPREPLY[*]}"' _ "$completion")
[ "$got" = --version ] || { echo "--vers completes to '$got'"; exit 1; }
echo "install: ${#files[@]} files checked"
