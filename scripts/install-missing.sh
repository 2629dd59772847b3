# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Installing Debian packages only where they are missing. Sourced by setup.sh
# and build-qt-mingw.sh.

# Runs a command as root: through sudo unless we are root already.
as_root() {
    if [[ $(id -u) -ne 0 ]]; then
        sudo "$@"
    else
        "$@"
    fi
}

# install_missing PACKAGE...: installs those of the packages that are not
# installed yet, and leaves their names in the array newly_installed, for a
# step that only a fresh install needs.
install_missing() {
    local package
    newly_installed=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            newly_installed+=("$package")
    done
    if ((${#newly_installed[@]})); then
        echo "Installing: ${newly_installed[*]}"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            "${newly_installed[@]}"
    fi
}
