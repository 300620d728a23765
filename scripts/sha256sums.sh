#!/usr/bin/env bash
# Keeps the SHA256SUMS file beside published files (`sha256sum -c SHA256SUMS`
# checks them there):
#
#   sha256sums.sh add FILE    lists FILE with its SHA-256, replacing its older line
#   sha256sums.sh drop FILE   removes FILE's line; an empty SHA256SUMS goes too
set -euo pipefail
[ $# -eq 2 ] && { [ "$1" = add ] || [ "$1" = drop ]; } || {
  echo "usage: sha256sums.sh add|drop FILE" >&2
  exit 2
}
dir=$(dirname "$2")
name=$(basename "$2")
sums=$dir/SHA256SUMS
[ -d "$dir" ] || exit 0

# A line is 64 hex digits, two spaces, the name.
lines=$( { [ ! -f "$sums" ] || awk -v name="$name" 'substr($0, 67) != name' "$sums"
           [ "$1" = drop ] || echo "$(sha256sum < "$2" | cut -c1-64)  $name"; } | LC_ALL=C sort -k 2)
if [ -z "$lines" ]; then
  rm -f "$sums"
  exit 0
fi
next=$(mktemp "$sums.XXXXXX")
printf '%s\n' "$lines" > "$next"
chmod 644 "$next"
mv -f "$next" "$sums"
