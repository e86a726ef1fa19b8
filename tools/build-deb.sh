#!/usr/bin/env bash
# Builds the Debian package of this checkout with Debian's own tools, in a temporary copy of the
# tracked files, so nothing is written beside the checkout. Prints the path of the .deb.
# Usage: bash tools/build-deb.sh [OUT_DIR]    (default: dist/ in the checkout)
set -euo pipefail
prog=tools/build-deb.sh
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "$prog: $*" >&2; exit 1; }

command -v dpkg-buildpackage >/dev/null 2>&1 ||
    fail "dpkg-buildpackage is missing: apt-get install dpkg-dev debhelper dh-python"
if ! unmet=$(cd "$root" && dpkg-checkbuilddeps 2>&1); then
    fail "${unmet#dpkg-checkbuilddeps: error: } ('apt-get build-dep ./' in the checkout installs them)"
fi
out=${1:-$root/dist}
mkdir -p "$out" || fail "cannot make $out"
out=$(cd "$out" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source_dir=$work/$(cd "$root" && dpkg-parsechangelog -S Source)
mkdir "$source_dir"
# The files git knows (tracked or new, not ignored), as they are now; outside git, the whole tree
# without environments and build output.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$root/$file" ] && printf '%s\0' "$file"; done |
        tar -C "$root" --null -T - -cf - | tar -C "$source_dir" -xf -
else
    tar -C "$root" --exclude='./.venv*' --exclude=./build --exclude=./dist -cf - . |
        tar -C "$source_dir" -xf -
fi

# Debian's own tools and interpreter only: nothing from a virtual environment or pyenv.
if ! (cd "$source_dir" && env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV \
        PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    fail "dpkg-buildpackage failed (above: the end of its log)"
fi
for deb in "$work"/*.deb; do
    cp "$deb" "$out/"
    echo "$out/$(basename "$deb")"
done
