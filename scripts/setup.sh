#!/usr/bin/env bash
# Installs what building, running and testing QingLuan needs on Debian 12, and nothing
# when everything is already there.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-wayland qt6-translations-l10n libgl-dev libglib2.0-dev
    qt6-multimedia-dev
    # The preview plays through GStreamer: its decoders for every kind the program finds
    # (mp3, AAC and ALAC in m4a/m4b/mp4/m4v/mov, wav, aiff, flac) and its PulseAudio output.
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
    gstreamer1.0-pulseaudio
    # The tests play into a PulseAudio server of their own and make FLAC files with flac.
    pulseaudio flac
    plocate findutils fd-find time
    dbus xvfb xauth xdotool xclip imagemagick weston at-spi2-core libglib2.0-bin desktop-file-utils shared-mime-info
    fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
