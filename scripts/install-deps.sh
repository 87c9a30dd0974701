#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-svg-dev qcoro-qt6-dev libxtst-dev libsystemd-dev libxcb1-dev libxcb-xfixes0-dev libx11-xcb-dev
    xvfb xauth xclip xdotool trayer xcompmgr openbox fonts-dejavu-core
    # The views' font (real Medium and Semibold faces); the tests measure text in it.
    fonts-inter
    clang-14 libclang-rt-14-dev
    libbenchmark-dev libxfixes-dev
    libwayland-dev libwayland-bin
    sway mutter xwayland wl-clipboard dbus-daemon x11-xserver-utils
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
