#!/usr/bin/env bash
# Writes vxtool's manual page from what the program itself prints: `vxtool --help` gives
# the synopsis, the description, the exit statuses and the output formats, and the --help
# of every command its command tables list gives that command's subsection. A command
# added to the help reaches the page with no change here.
#
# Usage: vxtool-man.sh VXTOOL VERSION DATE OUTPUT    (DATE as the page shows it: "May 2027")
set -euo pipefail

vxtool=$1
version=$2
date=$3
out=$4
awk_script="$(dirname "$0")/help2roff.awk"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$vxtool" --help >"$work/main"
: >"$work/commands"
commands=$(awk -v mode=list -f "$awk_script" "$work/main")
[[ -n $commands ]] || { echo "vxtool-man: no commands found in vxtool --help" >&2; exit 1; }
while read -r command; do
    # The command's words are separate arguments ("project show").
    # shellcheck disable=SC2086
    if ! "$vxtool" $command --help >"$work/command"; then
        echo "vxtool-man: 'vxtool $command --help' failed" >&2
        exit 1
    fi
    awk -v mode=command -v command="$command" -f "$awk_script" "$work/command" >>"$work/commands"
done <<<"$commands"

awk -v mode=main -v version="$version" -v date="$date" -v commands="$work/commands" \
    -f "$awk_script" "$work/main" >"$work/page"
mv "$work/page" "$out"
