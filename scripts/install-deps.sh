#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose:
#   run    building and running Ondari (the default)
#   test   that, plus what the tests, the sanitizer build and the fuzzing use
#   bench  that of run, plus what the benchmarks use
# Usage: scripts/install-deps.sh [run|test|bench]
set -euo pipefail
purpose="${1:-run}"
packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-svg-dev qcoro-qt6-dev libxtst-dev libsystemd-dev libxcb1-dev libxcb-xfixes0-dev libx11-xcb-dev
    libwayland-dev libwayland-bin
    # Which characters the installed fonts have.
    libfontconfig-dev
    # Inflating covers' PNG image data to bound it.
    zlib1g-dev
    # The views' font (real Medium and Semibold faces).
    fonts-inter
)
# A private X server with a window manager, a tray and a compositor, and the tools that copy,
# type and click in it.
desktop=(xvfb xauth xclip xdotool trayer xcompmgr openbox fonts-dejavu-core x11-xserver-utils)
case "$purpose" in
run) ;;
test)
    packages+=("${desktop[@]}"
        # The sanitizer build and the fuzz targets.
        clang-14 libclang-rt-14-dev
        # The Wayland sessions the program test runs in.
        sway mutter xwayland wl-clipboard dbus-daemon
        # A clipboard manager that takes copies over, as users run them.
        parcellite
        # XFCE's panel in its default layout, hosting the icon as a StatusNotifier item.
        xfce4-panel xfconf
        # A desktop's many fonts, which a hostile song title makes Qt walk through.
        fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji)
    ;;
bench)
    # WebP covers, whose decoding cost is measured too.
    packages+=("${desktop[@]}" libbenchmark-dev libxfixes-dev qt6-image-formats-plugins
        # The hostile song titles, and the fonts they are drawn with.
        python3 fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji)
    ;;
*)
    echo "usage: $0 [run|test|bench]" >&2
    exit 2
    ;;
esac
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
