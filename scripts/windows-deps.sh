#!/usr/bin/env bash
# What the Windows build needs besides the mingw-w64 compilers (scripts/install-deps.sh --windows
# installs those and runs this): into deps/windows-x64, for Windows x64,
#   ONNX Runtime's DLLs (from the npm package the Linux build uses) with an import library,
#   yyjson and libsoxr built from Debian's source packages (a throw-away sources list; the
#   system's own sources are never changed), and GoogleTest built from /usr/src/googletest.
# Quick when everything is there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-ondrelix
prefix=$root/deps/windows-x64
toolchain=$root/cmake/mingw-w64-x86_64.cmake
ort_tgz=$cache/com.github.asus4.onnxruntime-0.4.9.tgz

die() { echo "windows-deps: $*" >&2; exit 1; }
say() { echo "windows-deps: $*"; }

mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include" "$cache/windows"

# ONNX Runtime: the Windows DLLs and the C headers from the npm package, and an import library
# made from the DLL's own export table.
ort() {
  [ -f "$prefix/lib/libonnxruntime.dll.a" ] && [ -f "$prefix/bin/onnxruntime.dll" ] && return 0
  [ -f "$ort_tgz" ] || die "run scripts/install-deps.sh first (it downloads $ort_tgz)"
  local tmp
  tmp=$(mktemp -d)
  local headers='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
  tar xzf "$ort_tgz" -C "$tmp" package/Plugins/Windows/x64 "$headers"
  cp "$tmp/package/Plugins/Windows/x64/onnxruntime.dll" \
     "$tmp/package/Plugins/Windows/x64/onnxruntime_providers_shared.dll" "$prefix/bin/"
  cp "$tmp/$headers"/*.h "$prefix/include/"
  (cd "$tmp" && gendef "$prefix/bin/onnxruntime.dll" >/dev/null &&
     x86_64-w64-mingw32-dlltool -d onnxruntime.def -D onnxruntime.dll \
       -l "$prefix/lib/libonnxruntime.dll.a")
  rm -rf "$tmp"
  say "ONNX Runtime for Windows in deps/windows-x64"
}

# The original source tarball of a Debian source package: the newest version whose tarball the
# archive serves (yyjson 0.12's is missing there at the time of writing; 0.10's is served).
debian_source() {
  local package=$1 want=$2
  local dir=$cache/windows/apt
  mkdir -p "$dir/lists/partial" "$dir/archives/partial"
  printf 'deb-src http://deb.debian.org/debian %s main\n' unstable trixie bookworm > "$dir/sources.list"
  local opts=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State::Lists="$dir/lists" -o Dir::Cache::Archives="$dir/archives"
              -o APT::Sandbox::User=root)
  [ -n "$(ls "$dir/lists" 2>/dev/null | grep -v partial)" ] || apt-get "${opts[@]}" -qq update ||
    die "could not read Debian's source lists"
  local version url file
  for version in $(apt-cache "${opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' | sort -Vru); do
    url=$(apt-get "${opts[@]}" source --print-uris "$package=$version" 2>/dev/null |
          grep -o "'[^']*orig\.tar[^']*'" | tr -d "'" | head -1)
    [ -n "$url" ] || continue
    file=$cache/windows/$(basename "$url")
    if [ -s "$file" ] || curl -fsSL -o "$file" "$url"; then
      dpkg --compare-versions "$version" ge "$want" || die "$package $version is older than $want"
      echo "$file"
      return 0
    fi
    rm -f "$file"
  done
  die "no source tarball of $package could be downloaded"
}

# A build folder of its own each time: a cached one would remember another clone's (or another
# unpacking's) source folder, and CMake refuses a cache made for a different source.
cmake_build() {  # cmake_build SOURCE_DIR [cmake options...]
  local source=$1 build
  shift
  build=$(mktemp -d)
  cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -Wno-dev \
    "$@" >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  cmake --install "$build" >/dev/null
  rm -rf "$build"
}

# Unpacks Debian's source tarball of a package into a fresh folder: sets $tarball and $work.
unpack_source() {  # unpack_source PACKAGE VERSION
  tarball=$(debian_source "$1" "$2")
  work=$(mktemp -d)
  tar xf "$tarball" -C "$work"
}

yyjson() {
  [ -f "$prefix/lib/libyyjson.a" ] && return 0
  local tarball work
  unpack_source yyjson 0.10
  local src
  src=$(find "$work" -name yyjson.c -path '*/src/*' | head -1)
  [ -n "$src" ] || die "no src/yyjson.c in $tarball"
  x86_64-w64-mingw32-gcc-posix -O2 -c "$src" -o "$work/yyjson.o"
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libyyjson.a" "$work/yyjson.o"
  cp "$(dirname "$src")/yyjson.h" "$prefix/include/"
  rm -rf "$work"
  say "yyjson ($(basename "$tarball")) for Windows"
}

soxr() {
  [ -f "$prefix/lib/libsoxr.a" ] && return 0
  local tarball work
  unpack_source libsoxr 0.1.3
  cmake_build "$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -1)" \
    -DBUILD_SHARED_LIBS=OFF -DWITH_OPENMP=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF \
    -DWITH_LSR_BINDINGS=OFF -DWITH_VR32=OFF
  rm -rf "$work"
  say "libsoxr ($(basename "$tarball")) for Windows"
}

googletest() {
  [ -f "$prefix/lib/libgtest.a" ] && return 0
  [ -d /usr/src/googletest ] || die "/usr/src/googletest is missing (Debian's googletest package)"
  cmake_build /usr/src/googletest -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=OFF
  say "GoogleTest for Windows"
}

ort
yyjson
soxr
googletest
