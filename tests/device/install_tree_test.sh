#!/bin/sh
# Installs the build into a temporary DESTDIR and checks the tree: exactly
# the expected files, with the expected modes, and nothing left to configure.
# Usage: install_tree_test.sh <build dir> <destdir> <expected path>...
# (an expected path is "<mode> <absolute path>", the mode as stat prints it).
set -eu
build=$1 dest=$2
shift 2
rm -rf "$dest"
DESTDIR=$dest cmake --install "$build" > /dev/null

fail=0
expected=$(for e in "$@"; do printf '%s\n' "$e"; done | sort)
actual=$(cd "$dest" && find . ! -type d -exec stat -c '%a %n' {} + | sed 's| \./| /|' | sort)
if [ "$expected" != "$actual" ]; then
    echo "installed tree differs from the expected one:"
    printf '%s\n' "$expected" > "$dest.expected"
    printf '%s\n' "$actual" > "$dest.actual"
    diff "$dest.expected" "$dest.actual" || true
    fail=1
fi

for e in "$@"; do
    path=$dest${e#* }
    [ -f "$path" ] || continue
    case $path in
        *.gz) gzip -t "$path" || { echo "not a gzip file: $path"; fail=1; } ;;
        *) # text files only: -I passes over the programs
           if grep -Iq '@[A-Z_]*@' "$path"; then echo "placeholder left in $path"; fail=1; fi ;;
    esac
done

if [ "$fail" -eq 0 ]; then echo "installed tree: $# files as expected"; fi
exit "$fail"
