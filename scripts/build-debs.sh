#!/usr/bin/env bash
# Builds the Debian packages of this tree the way Debian does
# (dpkg-buildpackage -b -us -uc over debian/), in a copy of the tree so the
# source stays untouched, and runs lintian on the result.
#
#   build-debs.sh SOURCE_DIR OUT_DIR
#
# OUT_DIR receives the .deb files, the .changes and .buildinfo files, and
# lintian.txt.  Exit status: 0 built and lintian clean (no error, no
# warning), 1 otherwise, 77 a tool is missing.
set -uo pipefail
source_dir=$(cd "${1:?usage: build-debs.sh SOURCE_DIR OUT_DIR}" && pwd)
out=${2:?usage: build-debs.sh SOURCE_DIR OUT_DIR}
for tool in dpkg-buildpackage dh lintian fakeroot; do
  command -v "$tool" >/dev/null || { echo "build-debs: no $tool (packages dpkg-dev, debhelper, lintian, fakeroot)"; exit 77; }
done
mkdir -p "$out" && out=$(cd "$out" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-debs-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The tree's own files, without build trees or anything a build left behind.
copy_tree() {
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
      grep -zv '^build/' | xargs -0 -r cp --parents -a -t "$scratch/kxnet" 2>/dev/null)
  else
    (cd "$source_dir" && tar --exclude=./build --exclude='./obj-*' -cf - .) | tar -xf - -C "$scratch/kxnet"
  fi
}
mkdir -p "$scratch/kxnet"
copy_tree
[[ -f $scratch/kxnet/debian/control ]] || { echo "build-debs: no debian/ in the copy of $source_dir"; exit 1; }

echo "build-debs: dpkg-buildpackage -b -us -uc"
start=$(date +%s)
(cd "$scratch/kxnet" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc) >"$scratch/build.log" 2>&1 ||
  { tail -n 60 "$scratch/build.log"; echo "build-debs: dpkg-buildpackage failed"; exit 1; }
grep -E '^dpkg-(gensymbols|shlibdeps): (warning|error)' "$scratch/build.log" || true
echo "build-debs: built in $(($(date +%s) - start))s"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mv "$scratch"/*.deb "$scratch"/*.changes "$scratch"/*.buildinfo "$out"/
ls "$scratch"/*.ddeb >/dev/null 2>&1 && mv "$scratch"/*.ddeb "$out"/
(cd "$out" && ls -1 *.deb)

changes=$(ls "$out"/*.changes | head -n1)
echo "build-debs: lintian $(basename "$changes")"
lintian --info --display-info "$changes" >"$out/lintian.txt" 2>&1
cat "$out/lintian.txt"
errors=$(grep -c '^E: ' "$out/lintian.txt") warnings=$(grep -c '^W: ' "$out/lintian.txt")
echo "build-debs: lintian reports $errors errors, $warnings warnings"
[[ $errors == 0 && $warnings == 0 ]]
