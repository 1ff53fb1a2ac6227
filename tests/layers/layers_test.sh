#!/bin/sh
# The folders of src/ are layers: each includes only from the folders below
# it.  Fails, naming file and line, for an include that points up or
# sideways, names no folder, or a folder that is not a known layer.
# Within and across the folders, the modules (folder/name: the .hpp and
# .cpp of one name together) include one another without a loop: fails,
# naming the files of each loop, when one module reaches itself again.
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

# One edge "a/b x/y" for each include of x/y.hpp from a/b.cpp or a/b.hpp.
edges=$(
  for dir in "$src"/*/; do
    folder=$(basename "$dir")
    grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir"* |
      while IFS=: read -r file n line; do
        target=${line#*\"} && target=${target%%\"*}
        case $target in */*) ;; *) continue ;; esac
        name=${file##*/}
        from="$folder/${name%.*}" to=${target%.*}
        [ "$from" = "$to" ] || echo "$from $to"
      done
  done | sort -u
)
command -v tsort >/dev/null || { echo "layers: tsort (coreutils) is needed to look for loops"; exit 1; }
# tsort names the modules of each loop it meets, one "tsort: <module>" line
# after each "input contains a loop" line; each loop is told with its files.
loops=$(printf '%s\n' "$edges" | tsort 2>&1 >/dev/null |
  awk '/input contains a loop/ { if (loop != "") print loop; loop = "-"; next }
       /^tsort: / { sub(/^tsort: /, ""); loop = loop " " $0 }
       END { if (loop != "") print loop }' |
  while read -r _ modules; do
    files=""
    for module in $modules; do
      for file in "$module.hpp" "$module.cpp"; do
        [ -e "$src/$file" ] && files="$files src/$file"
      done
    done
    echo "include loop:$files"
  done)
faults=$(printf '%s\n%s\n' "$faults" "$loops" | sed '/^$/d')
[ -z "$faults" ] || { printf '%s\n' "$faults"; exit 1; }
echo "layers: every include of $src points down, and no module includes itself again"
