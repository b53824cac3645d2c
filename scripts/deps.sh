#!/usr/bin/env bash
# Installs the Debian packages Veskar builds with, when any is missing; further
# packages named as arguments too (the browser tests name theirs).
set -euo pipefail

packages=(build-essential cmake pkg-config fonts-dejavu-core libopenimageio-dev libopencolorio-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libtbb-dev liblua5.4-dev
          libcli11-dev libgtest-dev libbenchmark-dev libcpp-httplib-dev nlohmann-json3-dev "$@")
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
