#!/usr/bin/env bash
# Installs what quorvane-ondrelix needs to build, test and run its demo on Debian 12.
#
#   scripts/install-deps.sh            build + test dependencies
#   scripts/install-deps.sh --demo     also the sound tools used by the demo and quality runs
#   scripts/install-deps.sh --fuzz     also clang and its libFuzzer runtime
#   scripts/install-deps.sh --bench    also the peers the benchmarks compare with (soxr, FFTW, sox)
#   scripts/install-deps.sh --windows  also mingw-w64 and wine, and the Windows builds of the
#                                      dependencies in deps/windows-x64 (scripts/windows-deps.sh)
#
# Safe to run again: every step first checks whether its result is already there, so a
# second run on a ready machine finishes in about a second and touches nothing.
# ONNX Runtime is unpacked into deps/ (ignored by git); the downloaded package is cached in
# ${XDG_CACHE_HOME:-~/.cache}/quorvane-ondrelix so a fresh clone does not fetch it again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-ondrelix
ort_version=1.29.0
ort_npm=com.github.asus4.onnxruntime@0.4.9
ort_dir=$root/deps/onnxruntime-$ort_version

build_pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsoxr-dev
            libsndfile1-dev parallel slurmctld slurmd slurm-client munge libboost-dev chromium
            python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
            lv2-dev lilv-utils sordi pipewire pipewire-bin wireplumber
            python3-onnx python3-numpy ca-certificates)
demo_pkgs=(espeak-ng sox aubio-tools pocketsphinx pocketsphinx-en-us rubberband-cli)
fuzz_pkgs=(clang libclang-rt-14-dev)
bench_pkgs=(libsoxr-dev libfftw3-dev libsox-dev sox time)
windows_pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 curl xz-utils googletest)

want_demo=0
want_fuzz=0
want_bench=0
want_windows=0
for arg in "$@"; do
  case $arg in
    --demo) want_demo=1 ;;
    --fuzz) want_fuzz=1 ;;
    --bench) want_bench=1 ;;
    --windows) want_windows=1 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "install-deps: unknown option '$arg'" >&2; exit 2 ;;
  esac
done

die() { echo "install-deps: $*" >&2; exit 1; }
say() { echo "install-deps: $*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@";
  else die "need root (or sudo) to run: $*"; fi
}

missing_debs() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install_debs() {
  local missing
  missing=$(missing_debs "$@")
  [ -z "$missing" ] && return 0
  say "installing Debian packages:" $missing
  as_root apt-get update -qq || die "apt-get update failed (is the Debian archive reachable?)"
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
    || die "apt-get install failed for: $missing"
}

# yyjson 0.12 is not in Debian 12. Debian unstable carries it built against an old enough libc,
# so fetch just those two packages with a throw-away sources list; the system's own sources are
# never changed.
install_yyjson() {
  if pkg-config --atleast-version=0.12 yyjson 2>/dev/null; then return 0; fi
  local work=$cache/yyjson
  mkdir -p "$work/lists/partial" "$work/archives/partial"
  echo "deb http://deb.debian.org/debian unstable main" > "$work/unstable.list"
  local opts=(-o Dir::Etc::SourceList="$work/unstable.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives"
              -o APT::Sandbox::User=root)
  if ! ls "$work"/libyyjson0_0.12*.deb "$work"/libyyjson-dev_0.12*.deb >/dev/null 2>&1; then
    say "downloading yyjson 0.12 from Debian unstable"
    apt-get "${opts[@]}" -qq update || die "could not read the Debian unstable package list"
    (cd "$work" && apt-get "${opts[@]}" -qq download libyyjson0 libyyjson-dev) \
      || die "could not download libyyjson0/libyyjson-dev from Debian unstable"
  fi
  as_root dpkg -i "$work"/libyyjson0_0.12*.deb "$work"/libyyjson-dev_0.12*.deb >/dev/null \
    || die "dpkg could not install yyjson"
  pkg-config --atleast-version=0.12 yyjson || die "yyjson 0.12 still not visible to pkg-config"
}

# ONNX Runtime's official Linux build ships inside an npm package (with the C headers in its
# iOS framework; they are the same on every platform).
install_onnxruntime() {
  if [ -f "$ort_dir/lib/libonnxruntime.so.1" ] && [ -f "$ort_dir/include/onnxruntime_c_api.h" ]; then
    return 0
  fi
  mkdir -p "$cache"
  local tgz
  tgz=$(ls "$cache"/com.github.asus4.onnxruntime-0.4.9.tgz 2>/dev/null || true)
  if [ -z "$tgz" ]; then
    say "downloading ONNX Runtime $ort_version ($ort_npm, about 150 MB)"
    (cd "$cache" && npm pack --silent "$ort_npm" >/dev/null) || die "npm pack $ort_npm failed"
    tgz=$cache/com.github.asus4.onnxruntime-0.4.9.tgz
    [ -f "$tgz" ] || die "npm pack did not produce $tgz"
  fi
  local tmp
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  local headers='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
  tar xzf "$tgz" -C "$tmp" package/Plugins/Linux/x64 "$headers" || die "could not unpack $tgz"
  rm -rf "$ort_dir"
  mkdir -p "$ort_dir/include" "$ort_dir/lib"
  cp "$tmp/$headers"/*.h "$ort_dir/include/"
  cp "$tmp/package/Plugins/Linux/x64/libonnxruntime.so" "$ort_dir/lib/libonnxruntime.so.1"
  cp "$tmp/package/Plugins/Linux/x64/libonnxruntime_providers_shared.so" "$ort_dir/lib/"
  ln -sf libonnxruntime.so.1 "$ort_dir/lib/libonnxruntime.so"
  say "ONNX Runtime $ort_version in ${ort_dir#"$root"/}"
}

# playwright-core drives Debian's Chromium in the page's browser test (it downloads no browser).
playwright_version=1.65.2
install_playwright() {
  local dir=$root/deps/node
  if [ -f "$dir/node_modules/playwright-core/package.json" ] &&
     grep -q "\"version\": \"$playwright_version\"" "$dir/node_modules/playwright-core/package.json"; then
    return 0
  fi
  say "installing playwright-core $playwright_version into ${dir#"$root"/}"
  mkdir -p "$dir"
  (cd "$dir" && npm install --silent --no-audit --no-fund --no-save "playwright-core@$playwright_version") \
    || die "npm install playwright-core failed"
}

pkgs=("${build_pkgs[@]}")
# npm may come with a Node.js that is not Debian's; ask for Debian's only when there is none.
command -v npm >/dev/null || pkgs+=(npm)
[ $want_demo -eq 1 ] && pkgs+=("${demo_pkgs[@]}")
[ $want_fuzz -eq 1 ] && pkgs+=("${fuzz_pkgs[@]}")
[ $want_bench -eq 1 ] && pkgs+=("${bench_pkgs[@]}")
[ $want_windows -eq 1 ] && pkgs+=("${windows_pkgs[@]}")
install_debs "${pkgs[@]}"
install_yyjson
install_onnxruntime
install_playwright
[ $want_windows -eq 1 ] && "$root/scripts/windows-deps.sh"
exit 0
