#!/usr/bin/env bash
# Builds libpq (PostgreSQL's client library) for 64- and 32-bit Windows with Debian's mingw-w64
# compilers, from Debian's own source package of the PostgreSQL that Debian ships, and installs
# it into /opt/kelvoup-deps/TRIPLET (include/, lib/, bin/libpq.dll), where the Windows build of
# kelvo-station finds it. Built once: a second run finds it there and does nothing.
# Without OpenSSL, zlib, ICU or readline: the Windows ledger connection is not encrypted.
# Called by install-build-deps.sh --windows; needs dpkg-dev and the mingw-w64 compilers.
set -euo pipefail
package=postgresql-15
deps=${KELVO_DEPS_DIR:-/opt/kelvoup-deps}
jobs=${KELVO_JOBS:-2}
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)

built() { [ -f "$deps/$1/lib/libpq.dll.a" ] && [ -f "$deps/$1/bin/libpq.dll" ] && [ -f "$deps/$1/include/libpq-fe.h" ]; }
todo=()
for triplet in x86_64-w64-mingw32 i686-w64-mingw32; do
  built "$triplet" || todo+=("$triplet")
done
[ ${#todo[@]} -gt 0 ] || exit 0

# apt-get source needs a deb-src entry: the machine's own deb entries, as deb-src.
if ! grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${as_root[@]}" tee /etc/apt/sources.list.d/kelvoup-deb-src.sources >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${as_root[@]}" tee /etc/apt/sources.list.d/kelvoup-deb-src.list >/dev/null
  fi
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update && break
    sleep $((attempt * 10))
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The newest version whose source the mirror has (a security update's may be missing from it).
for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -Vru); do
  (cd "$work" && apt-get source -qq "$package=$version" >/dev/null 2>&1) && break
  rm -rf "${work:?}"/*
done
source=$(find "$work" -maxdepth 1 -type d -name "$package-*" | head -n 1)
[ -n "$source" ] || { echo "build-mingw-libpq.sh: apt-get source $package gave no source tree" >&2; exit 1; }

for triplet in "${todo[@]}"; do
  build=$work/build-$triplet
  mkdir -p "$build"
  echo "build-mingw-libpq.sh: building libpq for $triplet (a few minutes)"
  (cd "$build" && "$source/configure" --host="$triplet" --without-readline --without-zlib --without-icu \
     --without-openssl >configure.log 2>&1) ||
    { tail -n 30 "$build/configure.log" >&2; exit 1; }
  make -C "$build/src/interfaces/libpq" -j"$jobs" >"$build/make.log" 2>&1 ||
    { tail -n 30 "$build/make.log" >&2; exit 1; }
  stage=$work/stage-$triplet
  mkdir -p "$stage/include" "$stage/lib" "$stage/bin"
  cp "$source/src/interfaces/libpq/libpq-fe.h" "$source/src/interfaces/libpq/libpq-events.h" \
     "$source/src/include/postgres_ext.h" "$build/src/include/pg_config_ext.h" "$stage/include/"
  cp "$build/src/interfaces/libpq/libpq.dll" "$stage/bin/"
  # The import library of the DLL, under the name the linker looks for beside a static one.
  cp "$build/src/interfaces/libpq/libpq.a" "$stage/lib/libpq.dll.a"
  "$triplet-strip" --strip-unneeded "$stage/bin/libpq.dll"
  cp "$source/COPYRIGHT" "$stage/COPYRIGHT"
  "${as_root[@]}" mkdir -p "$deps"
  "${as_root[@]}" rm -rf "$deps/$triplet"
  "${as_root[@]}" cp -r "$stage" "$deps/$triplet"
done
echo "build-mingw-libpq.sh: libpq for Windows is in $deps"
