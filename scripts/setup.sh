#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those that are missing.
# Runs as root directly, otherwise through sudo. Prints nothing when all are present.
# With arguments, installs those packages instead (the fuzz and bench scripts' extras).
set -euo pipefail

packages=("$@")
[[ ${#packages[@]} -gt 0 ]] || packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-tools-dev-tools libgl-dev
    libsdl2-dev libsdl2-mixer-dev libsndfile1-dev libebur128-dev
    libgtest-dev libgmock-dev
    # The report test reads vxtool's HTML page as a browser would.
    python3-html5lib
    xvfb xauth
    # What the install checks run: launcher entry, metainfo, manual pages, Debian packages,
    # and the project file type (the MIME database, xdg-mime with the generic desktop's
    # mimetype, gio, xmllint, file).
    desktop-file-utils appstream man-db lintian file
    shared-mime-info xdg-utils libfile-mimeinfo-perl libglib2.0-bin libxml2-utils
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
    sudo=()
else
    sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
