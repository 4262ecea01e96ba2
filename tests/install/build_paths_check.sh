#!/usr/bin/env bash
# The installed game carries no path of the tree it was built from: the
# build is installed as the package installs it (`cmake --install --strip`
# under /usr, into a temporary DESTDIR), and `strings` of every ELF file
# installed must name neither the build folder nor the source folder. The
# game finds its modules beside itself, never where a build once put them.
#
#   build_paths_check.sh CMAKE BUILD_DIR SOURCE_DIR
#
# Exit 77 (skipped) when binutils' strings is not installed.
set -u
cmake=${1:?usage: build_paths_check.sh CMAKE BUILD_DIR SOURCE_DIR}
build=$(readlink -f "${2:?}")
source=$(readlink -f "${3:?}")
command -v strings >/dev/null 2>&1 || { echo "SKIP: strings is not installed (binutils)"; exit 77; }

work=$(mktemp -d /tmp/korvala-paths.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! DESTDIR=$work/root "$cmake" --install "$build" --prefix /usr --strip >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL cmake --install"
  exit 1
fi

elves=0
found=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] || continue
  elves=$((elves + 1))
  # Both as bytes and as UTF-16 (Qt's string literals).
  hits=$({ strings -a "$file"; strings -a -el "$file"; } | grep -F -e "$build" -e "$source" | sort -u)
  if [ -n "$hits" ]; then
    echo "FAIL ${file#"$work/root"} names the build tree:"
    echo "$hits" | sed 's/^/    /'
    found=$((found + 1))
  fi
done < <(find "$work/root" -type f -print0)

if [ $elves = 0 ]; then
  echo "FAIL no ELF file was installed"
  exit 1
fi
if [ $found != 0 ]; then
  echo "$found of $elves installed ELF files name $build or $source"
  exit 1
fi
echo "PASS none of the $elves installed ELF files names $build or $source"
