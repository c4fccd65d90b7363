#!/usr/bin/env bash
# Installs the Debian 12 packages that building, packaging and testing need, when any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev binutils pkg-config
  googletest libgtest-dev
  openjdk-17-jdk-headless openjdk-17-jre
  libcurl4-openssl-dev libplist-dev libexpat1-dev libarchive-dev libzip-dev libzstd-dev libssl-dev ca-certificates openssl
  xvfb zenity xdotool x11-utils desktop-file-utils libglib2.0-bin
  clang-format clang-tidy bindfs python3
  dpkg-dev lintian apt-utils gnupg rpm gzip
  # The screenshots that scripts/package-debian-apps.sh takes and compares.
  imagemagick
)

# jlink links from the JDK's jmods: part of openjdk-17-jdk-headless on Debian 12, a package of their
# own (openjdk-17-jmods) where the distribution splits them out.
if apt-cache show openjdk-17-jmods >/dev/null 2>&1; then packages+=(openjdk-17-jmods); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
