#!/usr/bin/env bash
# Installs what building and testing Gleaner needs on Debian 12, and nothing that is already there.
# Safe to run again: every package is checked with dpkg first, and apt-get (with one `apt-get update`
# before it) runs only when something is missing. Uses sudo when not run as root.
set -euo pipefail

# Build tools, libraries, and the programs the tests use to make and read reference disk images.
PACKAGES=(
    cmake            # build system (3.25 or later)
    g++              # the compiler for every build but the fuzz build
    make
    ninja-build      # preferred CMake generator
    pkg-config
    libgtest-dev     # GoogleTest
    libgmock-dev     # GoogleMock
    libbenchmark-dev # Google Benchmark, for benchmarks written with it
    libmagic-dev     # content types
    file             # compiles the file-type description at build time (file -C)
    xorriso          # makes HFS Plus test volumes
    sleuthkit        # mmls, fls, icat: reads the test volumes independently
    hfsutils         # HFS tools for the tests
    clang            # fuzz build (libFuzzer)
    libclang-rt-dev  # clang's sanitizer and libFuzzer runtimes
    gcovr            # line and branch coverage summary (gleaner.sh coverage)
    # The application window and its previews
    qt6-base-dev              # Qt 6 Widgets
    qt6-svg-dev               # renders the icons drawn as SVG
    qt6-speech-dev            # spoken hints (QTextToSpeech)
    qt6-declarative-dev       # QTextToSpeech's CMake package needs its QmlIntegration
    qt6-speech-flite-plugin   # a speech engine that works offline
    qt6-multimedia-dev        # the end-of-scan sound
    gstreamer1.0-plugins-bad  # the multimedia backend's AIFF reader, for complete.aif
    libpoppler-cpp-dev        # PDF previews (in the preview worker)
    libfreeimage-dev          # image previews (in the preview worker)
    libseccomp-dev            # the preview worker's system-call filter
    imagemagick               # makes test pictures of every kind the image library reads
    qt6-qpa-plugins           # the offscreen platform the interface tests run on
    xvfb                      # a display for screenshots of the real window
    xauth                     # xvfb-run needs it
    # Opening a device the person may not read: udisks2 over D-Bus (GIO), tested on a bus of its own
    libglib2.0-dev            # GIO, for udisks2's OpenDevice; composing saved names (NFC)
    dbus-daemon               # the tests' private bus
)

is_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

missing=()
for package in "${PACKAGES[@]}"; do
    is_installed "$package" || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup: all ${#PACKAGES[@]} packages are installed"
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: apt-get not found; install these packages by hand: ${missing[*]}" >&2
    exit 1
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "setup: not root and sudo not found; as root run: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    as_root=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}"
echo "setup: done"
