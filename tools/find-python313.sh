#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter: the system's, or pyenv's.
set -u
candidates=(python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13)
if command -v pyenv >/dev/null 2>&1; then
  for dir in "$(pyenv root)"/versions/3.13*; do candidates+=("$dir/bin/python3.13"); done
fi
for dir in "$HOME"/.pyenv/versions/3.13*; do candidates+=("$dir/bin/python3.13"); done
for py in "${candidates[@]}"; do
  if "$py" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
    command -v "$py" || echo "$py"
    exit 0
  fi
done
echo "no CPython 3.13 found (system python3.13 or pyenv versions/3.13*)" >&2
exit 1
