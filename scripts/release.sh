#!/usr/bin/env bash
# Builds every release artifact from a clean tree (the committed HEAD, taken with git archive;
# uncommitted changes are not in them) in a release configuration (optimised, hardened, shipped
# binaries stripped) into one folder, release/ or $1:
#   kelvoup_VERSION_amd64.deb, kelvoup-VERSION-win64.zip, kelvoup-VERSION-win32.zip,
#   kelvoup-VERSION-web.zip (the web page, a static site), kelvoup-VERSION.tar.gz (the source
#   tree) and SHA256SUMS over them.
# Needs what install-build-deps.sh --windows --release --web installs. The version is the one of project() in
# CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(KelvoUp VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }
out=$(realpath -m "${1:-release}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -z "$(git status --porcelain --untracked-files=no)" ] || echo "release.sh: uncommitted changes are left out" >&2

src=$work/kelvoup-$version
git archive --format=tar --prefix="kelvoup-$version/" HEAD | tar -x -C "$work"
rm -rf "$out"
mkdir -p "$out"
git archive --format=tar.gz --prefix="kelvoup-$version/" -o "$out/kelvoup-$version.tar.gz" HEAD

jobs=$(nproc)
release=(-DCMAKE_BUILD_TYPE=Release -DKELVO_BUILD_TESTS=OFF)
# Linux: the hardening Debian's own packages are built with.
cmake -S "$src" -B "$work/linux" "${release[@]}" \
  -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
cmake --build "$work/linux" -j"$jobs"
(cd "$work/linux" && cpack -G DEB >/dev/null)
cp "$work/linux/kelvoup_${version}_amd64.deb" "$out/"

for arch in x86_64 i686; do
  dir=$work/win-$arch
  cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-$arch.cmake" "${release[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && cpack -G ZIP >/dev/null)
  cp "$dir"/kelvoup-"$version"-win*.zip "$out/"
done

# The web page: a static site, from the same sources (needs install-build-deps.sh --web).
bash "$src/scripts/build-web.sh" "$work/web" >/dev/null
(cd "$work/web" && rm -rf "kelvoup-$version-web" && cp -r site "kelvoup-$version-web" &&
  zip -q -X -r "$out/kelvoup-$version-web.zip" "kelvoup-$version-web")

(cd "$out" && sha256sum -- *.deb *.zip *.tar.gz >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l)
