#!/usr/bin/env bash
# Builds the game's Debian package: build-deb/korvala_<version>_<arch>.deb.
#
#   scripts/package.sh               configures and builds build-deb itself
#                                    (release, no tests), then packages it
#   scripts/package.sh --from DIR    packages the game already built in DIR
#                                    (the test run packages its own build)
#
# The package holds what `cmake --install` lays out, under /usr and stripped,
# plus the score server's system service (not enabled) and its configuration
# file. Its dependencies are worked out from the binaries (dpkg-shlibdeps,
# the engine and sound modules included, and the exact Qt ABI they were built
# against) plus what the game loads or runs without linking it (see
# RUNTIME_DEPENDS).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Loaded or run by the game without being linked, so dpkg-shlibdeps cannot
# see them: the face the game draws its text in, libcurl and libcrypto
# (opened with the first transfer and the first long score name), the QML
# modules the scores page is made of (read by the engine module at the first
# Info Online), and the score server's Python with its FTP, TLS and
# certificate modules. (The web engine's helper process comes with the
# engine's own dependencies.)
RUNTIME_DEPENDS="fonts-liberation | fonts-liberation2, libcurl4, libssl3, qml6-module-qtwebengine, qml6-module-qtquick, qml6-module-qtqml-workerscript, python3, python3-pyftpdlib, python3-openssl, python3-cryptography"

from=""
if [ "${1:-}" = "--from" ]; then
  from=${2:?usage: package.sh [--from BUILD_DIR]}
fi
out=$root/build-deb
mkdir -p "$out"
if [ -z "$from" ]; then
  scripts/build.sh build-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr
  from=$out
fi
from=$(cd "$from" && pwd)

version=$(sed -n 's/^project(korvala VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage"
DESTDIR=$stage cmake --install "$from" --prefix /usr --strip > "$out/install.log"
# A game's command lies in /usr/games. The fonts the game carries for a
# system without Liberation Sans are not needed: the package brings it.
mkdir -p "$stage/usr/games"
mv "$stage/usr/bin/korvala" "$stage/usr/games/korvala"
rmdir "$stage/usr/bin"
rm -rf "$stage/usr/lib/korvala/fonts"
install -D -m 0644 /dev/null "$stage/usr/share/man/man6/korvala.6.gz"
gzip -9n < packaging/korvala.6 > "$stage/usr/share/man/man6/korvala.6.gz"

# The score server for many players: a system service, not enabled, and its
# configuration file (kept across upgrades as a conffile).
install -D -m 0644 packaging/korvala-score-server.service "$stage/lib/systemd/system/korvala-score-server.service"
install -D -m 0644 packaging/score-server.conf "$stage/etc/korvala/score-server.conf"

doc=$stage/usr/share/doc/korvala
install -D -m 0644 packaging/copyright "$doc/copyright"
install -m 0644 README.md "$doc/README.md"
gzip -9n < packaging/changelog > "$doc/changelog.Debian.gz"
chmod 0644 "$doc/changelog.Debian.gz"

# Everything world-readable, folders and programs executable, as Debian wants.
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f ! -perm /111 -exec chmod 0644 {} +
find "$stage" -type f -perm /111 -exec chmod 0755 {} +

# The libraries the binaries link, as package names.
work=$out/shlibdeps
rm -rf "$work"
mkdir -p "$work/debian"
printf 'Source: korvala\n\nPackage: korvala\nArchitecture: any\n' > "$work/debian/control"
mapfile -t elves < <(find "$stage" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
shlibs=$(cd "$work" && dpkg-shlibdeps -O -e"${elves[@]}" 2>"$out/shlibdeps.log" | sed -n 's/^shlibs:Depends=//p')

# The engine module uses Qt's private interfaces, which hold only for the Qt
# release it was built against. Debian's Qt libraries provide an ABI name
# with their exact version for this (qt6-base-abi, qt6-webengine-abi): the
# package depends on the one of every library package the binaries link, as
# installed on the build machine.
mapfile -t linked < <(for elf in "${elves[@]}"; do
  needed=" $(objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }' | paste -sd' ') "
  ldd "$elf" | awk -v needed="$needed" 'index(needed, " " $1 " ") && $3 ~ /^\// { print $3 }'
done | sort -u)
# The ABI names ("NAME-abi (= VERSION)") that the packages owning these
# libraries provide. Each library is looked up under the path the loader
# found and under its real path: dpkg knows it by one of them (merged /usr).
abi_provides() {
  { dpkg -S "$@" $(realpath "$@") 2>/dev/null || true; } | grep -v '^diversion by' |
    sed -n 's|^\(.*\): /.*|\1|p' | tr ',' '\n' | tr -d ' ' | sort -u |
    { xargs -r dpkg-query -W -f='${Provides}\n' 2>/dev/null || true; } | tr ',' '\n' | sed 's/^ *//' |
    { grep -E '^[a-z0-9.+-]+-abi \(= [^)]+\)$' || true; } | sort -u | paste -sd, | sed 's/,/, /g'
}
abi=$(abi_provides "${linked[@]}")
if [ -z "$abi" ]; then
  echo "no Qt ABI version found for the linked libraries (dpkg -S, Provides)" >&2
  exit 1
fi

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
mkdir -p "$stage/DEBIAN"
cat > "$stage/DEBIAN/control" <<CONTROL
Package: korvala
Version: $version-1
Architecture: $arch
Maintainer: Korvala developers <korvala@example.org>
Installed-Size: $size
Depends: $shlibs, $abi, $RUNTIME_DEPENDS
Suggests: python3-psycopg
Section: games
Priority: optional
Homepage: https://korvala.example.org/
Description: arcade game: five holes, thirty seconds, online scores
 Korvala Deluxe 1.0 is a single-window arcade game. Five holes on a board
 fill turn by turn with targets, clock carriers and bomb carriers; the
 player clicks them against a thirty-second countdown.
 .
 Scores go to a score server and come back on a ten-row score board and a
 scores web page. The game starts a score server of its own on this
 machine; the package also carries that server as a system service
 (korvala-score-server, not enabled) for a school or club that runs one
 server for many players; with python3-psycopg, several such servers share
 their scores in one PostgreSQL database.
CONTROL
printf '/etc/korvala/score-server.conf\n' > "$stage/DEBIAN/conffiles"
for script in postinst prerm postrm; do
  install -m 0755 "packaging/$script" "$stage/DEBIAN/$script"
done

deb=$out/korvala_${version}-1_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
echo "$deb"
