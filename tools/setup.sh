#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12 as root, and fetches
# Lua's source from Debian's source package into .deps/ (never tracked).
# Idempotent: installs only what is missing and fetches only once.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  # build
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev lld make patch xz-utils dpkg-dev pkg-config
  # libraries the workstation links
  libsdl2-dev libcurl4-openssl-dev liblz4-dev libgif-dev liblodepng-dev libqoi-dev libbloom-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  # independent references used only by tests
  python3 python3-lz4 python3-pil python3-numpy lz4 lua5.4 libmurmurhash-dev
  lua-penlight  # a real Lua corpus for the tokenizer
  xvfb xdotool imagemagick sox pngcheck qoi
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_update() { [ $apt_updated = 1 ] || { as_root apt-get update -qq; apt_updated=1; }; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Lua 5.4.4 from Debian's source package, checked against the upstream tarball's digest.
lua_ver=5.4.4
lua_orig_sha=164c7849653b80ae67bec4b7473b884bf5cc8d2dca05653475ec2ed27b9ebf61
deps="$top/.deps"
src="$deps/lua-$lua_ver"
if [ ! -f "$src/.complete" ]; then
  mkdir -p "$deps/download"
  cd "$deps/download"
  if ! ls lua5.4_${lua_ver}.orig.tar.gz lua5.4_${lua_ver}-*.debian.tar.xz >/dev/null 2>&1; then
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
      echo "setup: enabling Debian source entries"
      as_root tee /etc/apt/sources.list.d/kavelund-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
      apt_updated=0
    fi
    apt_update
    apt-get source --download-only "lua5.4=$lua_ver-*" >/dev/null 2>&1 || apt-get source --download-only lua5.4 >/dev/null
  fi
  echo "$lua_orig_sha  lua5.4_${lua_ver}.orig.tar.gz" | sha256sum -c --quiet -
  rm -rf "$src" "$deps/debian"
  tar -xzf lua5.4_${lua_ver}.orig.tar.gz -C "$deps"
  tar -xJf lua5.4_${lua_ver}-*.debian.tar.xz -C "$deps"
  touch "$src/.complete"
fi

# Lets the Makefile run the set-up once for `bash tools/setup.sh && make ...`.
touch "$deps/setup.stamp"
