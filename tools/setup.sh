#!/usr/bin/env bash
# Installs what building and testing the updater needs on Debian 12, and the locales the
# Japanese dialog runs under. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ make python3      # the native build
    googletest                              # GoogleTest sources, built by both builds
    libssl-dev                              # libcrypto's SHA-256: the Linux build checks its images with it
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64  # the Windows cross build (posix threads)
    wine wine64                             # running the Windows programs
    xvfb x11-utils imagemagick              # a display and screenshots for the dialog tests
    fonts-ipafont-gothic locales            # Japanese texts under Wine
    fonts-wine                              # Marlett: the title bar's buttons under Wine (copied into each prefix)
    clang-14 libclang-rt-14-dev llvm-14     # libFuzzer targets with ASan and UBSan
    util-linux                              # flock, for the shared Wine prefix; unshare for the Linux program's tests
    libsystemd-dev pkg-config               # sd-bus: kdx4610-update takes logind's inhibitor lock through it
    python3-dbusmock dbus                   # logind's mock on a private system bus, for the inhibitor test
    python3-pexpect                         # the Linux program's tests: its dialog on a pseudo-terminal and pipes
    lintian                                 # checking the Debian package of kdx4610-update
)
locales_wanted=(en_US.UTF-8 ja_JP.UTF-8)

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

have_locales=$(locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]' | tr -d '-')
generate=0
for l in "${locales_wanted[@]}"; do
    want=$(echo "$l" | tr '[:upper:]' '[:lower:]' | tr -d '-')
    if ! grep -qx "$want" <<<"$have_locales"; then
        "${sudo[@]}" sed -i "s/^# *\(${l} UTF-8\)/\1/" /etc/locale.gen
        grep -q "^${l} UTF-8" /etc/locale.gen || echo "${l} UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
        generate=1
    fi
done
if ((generate)); then
    echo "setup: generating locales ${locales_wanted[*]}"
    "${sudo[@]}" locale-gen >/dev/null
fi
