#!/bin/sh
# The folders of src/ are layers: each includes only from the folders below
# it, never from one above or beside it.  Fails, naming the file and line,
# when an include goes the wrong way, names no folder, or comes from a folder
# that is not a known layer.
# Usage: layers_test.sh <src directory>
set -u
src=${1:?usage: layers_test.sh <src directory>}

# Lowest first; folders of one rank stand side by side.
rank() {
  case $1 in
    base) echo 0 ;;
    tasks) echo 1 ;;
    supervise) echo 2 ;;
    supervisor | check) echo 3 ;;
    *) echo -1 ;;
  esac
}

faults=0
fault() {
  echo "$1"
  faults=$((faults + 1))
}

for dir in "$src"/*/; do
  folder=$(basename "$dir")
  own=$(rank "$folder")
  if [ "$own" -lt 0 ]; then
    fault "src/$folder: a folder that is not a known layer (add it to $0)"
    continue
  fi
  for file in "$dir"*; do
    [ -f "$file" ] || continue
    n=0
    while IFS= read -r line || [ -n "$line" ]; do
      n=$((n + 1))
      case $line in
        *'#'*include*'"'*) ;;
        *) continue ;;
      esac
      target=${line#*\"}
      target=${target%%\"*}
      where="src/$folder/$(basename "$file"):$n: \"$target\""
      case $target in
        */*) ;;
        *) fault "$where: name the folder (\"$folder/$target\")"; continue ;;
      esac
      to=${target%%/*}
      [ "$to" = "$folder" ] && continue
      other=$(rank "$to")
      if [ "$other" -lt 0 ]; then
        fault "$where: not a folder of src/"
      elif [ "$other" -ge "$own" ]; then
        fault "$where: $folder may include only from folders below it"
      fi
    done < "$file"
  done
done

if [ "$faults" -gt 0 ]; then
  echo "$faults include(s) against the layers"
  exit 1
fi
echo "layers: every include of $src points down"
