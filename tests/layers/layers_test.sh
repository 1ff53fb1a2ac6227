#!/bin/sh
# The folders of src/ are layers: each includes only from the folders below
# it.  Fails, naming file and line, for an include that points up or
# sideways, names no folder, or a folder that is not a known layer.
# Usage: layers_test.sh <src directory>
set -u
src=${1:?usage: layers_test.sh <src directory>}

# Lowest first; folders of one rank stand side by side.
rank() {
  case $1 in
    base) echo 0 ;; tasks) echo 1 ;; supervise) echo 2 ;; supervisor | check) echo 3 ;;
    *) echo -1 ;;
  esac
}

faults=$(
  for dir in "$src"/*/; do
    folder=$(basename "$dir")
    own=$(rank "$folder")
    [ "$own" -ge 0 ] || { echo "src/$folder: not a known layer (add it to $0)"; continue; }
    grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir"* |
      while IFS=: read -r file n line; do
        target=${line#*\"} && target=${target%%\"*}
        at="src/$folder/${file##*/}:$n: \"$target\""
        case $target in */*) ;; *) echo "$at: name the folder"; continue ;; esac
        to=${target%%/*}
        [ "$to" = "$folder" ] && continue
        other=$(rank "$to")
        if [ "$other" -lt 0 ]; then echo "$at: not a folder of src/"
        elif [ "$other" -ge "$own" ]; then echo "$at: $folder includes only from below"; fi
      done
  done
)
[ -z "$faults" ] || { printf '%s\n' "$faults"; exit 1; }
echo "layers: every include of $src points down"
