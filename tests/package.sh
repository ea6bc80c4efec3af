#!/usr/bin/env bash
# Installing and packaging: the installed files and manual pages, the host and
# analyser packages (lintian included), the packaged programs against the build
# tree's, and -h, --help and --version on a database. Uses the host and ppc builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d "${TMPDIR:-/tmp}/package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
version=$(sed -n 's/^project(deviceScan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "FAIL: $*" >&2; exit 1; }

# Every file that an install under PREFIX ($1) holds.
expected() {
  { printf '%s\n' "$1"/bin/{debugServer,deviceScan} "$1"/share/man/man1/{debugServer,deviceScan}.1.gz
    printf "$1/share/doc/devicescan/%s\n" README.md changelog.gz copyright examples/configdb/*; } | sort
}
# The Debian package that provides a shared library.
declare -A package_of=([libc.so.6]=libc6 [libm.so.6]=libc6 [ld.so.1]=libc6
                       [libstdc++.so.6]=libstdc++6 [libgcc_s.so.1]=libgcc-s1)

echo "=== package: install into a staging directory"
DESTDIR="$scratch/stage" cmake --install build/host --prefix /opt/ds > /dev/null
diff <(expected /opt/ds) <(cd "$scratch/stage" && find . ! -type d | sed 's/^\.//' | sort)

echo "=== package: the manual pages render without a warning from man or groff"
for page in "$scratch"/stage/opt/ds/share/man/man1/*; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "${page##*/}: $warnings"
done

for build in host ppc; do
  echo "=== package: ${build}"
  cpack --config "build/$build/CPackConfig.cmake" -B "$scratch/deb-$build" > /dev/null
  deb=$(echo "$scratch/deb-$build"/*.deb)
  arch=$(if [ "$build" = ppc ]; then echo powerpc; else dpkg --print-architecture; fi)
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$build architecture"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$build version"
  lintian --fail-on error,warning "$deb" || fail "$build: lintian"
  diff <(expected /usr) <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort)
  dpkg-deb -x "$deb" "$scratch/$build-root"
  [ "$(zcat "$scratch/$build-root/usr/share/doc/devicescan/changelog.gz" |
    dpkg-parsechangelog -l- -S Version)" = "$version" ] || fail "$build changelog version"
  bins=("$scratch/$build-root/usr/bin/"*)
  depends=$(dpkg-deb -f "$deb" Depends)
  needed=$(readelf -d "${bins[@]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    while read -r so; do echo "${package_of[$so]:-unknown:$so}"; done | sort -u)
  [ "$needed" = "$(tr ',' '\n' <<< "$depends" | awk '{print $1}' | sort -u)" ] ||
    fail "$build Depends '$depends' against the linked $needed"
  glibc=$(readelf -V "${bins[@]}" | grep -o 'GLIBC_[0-9.]*[0-9]' | cut -c7- | sort -V | tail -n1)
  libc6=$(sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p' <<< "$depends")
  dpkg --compare-versions "$libc6" ge "$glibc" || fail "$build libc6 $libc6 below GLIBC_$glibc"
done

echo "=== package: the packaged deviceScan scans as the build tree's does"
for db in build host ppc; do cp -r examples/configdb "$scratch/$db"; done
ZVDB_DIR="$scratch/build" build/host/deviceScan/deviceScan > /dev/null
ZVDB_DIR="$scratch/host" "$scratch/host-root/usr/bin/deviceScan" > /dev/null
ZVDB_DIR="$scratch/ppc" qemu-ppc -L /usr/powerpc-linux-gnu "$scratch/ppc-root/usr/bin/deviceScan" \
  > /dev/null
! diff -rq examples/configdb "$scratch/build" > /dev/null || fail "the scan changed no table"
for db in host ppc; do diff -r "$scratch/build" "$scratch/$db"; done

# Where and in what order the programs answer is the build tree's tests'; the
# packaged, stripped programs must answer too.
echo "=== package: the packaged programs answer --version"
for program in deviceScan debugServer; do
  [ "$("$scratch/host-root/usr/bin/$program" --version)" = "$program $version" ] ||
    fail "$program --version"
done
