# setup.sh: the set-up shared by tools/test-all, tools/demo and bench/run: Debian packages, the
# virtual environment .venv and the package installed into it. Source it after setting `root`.
# shellcheck shell=bash

venv=$root/.venv
python=${PYTHON:-python3}
prog=$(basename -- "$0")

# Debian packages every run needs, whatever else is on the machine. A script adds its own
# with `system_packages+=(...)` before calling install_system_packages.
system_packages=(
    user-mode-linux # the virtual CAN bus when the host kernel has no CAN
    kmod            # insmod, which loads the bus's kernel modules in the guest
    iproute2        # ip, which creates vcan0 and vcan1
)
# Commands that may come from elsewhere (pip, a toolchain); the package to install if absent.
declare -A command_packages=(
    [cmake]=cmake
    [g++]=g++
    [ninja]=ninja-build
)

step() { printf '==> %s\n' "$*"; }
fail() { printf '%s: %s\n' "$prog" "$*" >&2; exit 1; }

package_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

install_system_packages() {
    local missing=() pkg cmd
    for pkg in "${system_packages[@]}"; do
        package_installed "$pkg" || missing+=("$pkg")
    done
    for cmd in "${!command_packages[@]}"; do
        command -v "$cmd" >/dev/null 2>&1 || missing+=("${command_packages[$cmd]}")
    done
    # Debian's own python3 needs python3-venv before it can make a virtual environment.
    "$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
    if [[ ${#missing[@]} -eq 0 ]]; then
        step "system packages present"
        return 0
    fi
    step "installing Debian packages: ${missing[*]}"
    command -v apt-get >/dev/null 2>&1 || fail "no apt-get here: install ${missing[*]} by hand"
    [[ $(id -u) == 0 ]] || fail "run as root to install ${missing[*]} (or install them and rerun)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

check_python() {
    command -v "$python" >/dev/null 2>&1 || fail "$python not found: CPython 3.11 or newer is needed"
    "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' ||
        fail "$python is $("$python" -V 2>&1): CPython 3.11 or newer is needed"
}

# install_python_package EXTRA: builds velkarin and installs it with the named extra
# (test, demo, bench) into .venv, creating the environment on first use.
install_python_package() {
    local extra=$1
    if [[ ! -x $venv/bin/python ]]; then
        step "creating the virtual environment .venv"
        "$python" -m venv "$venv"
    fi
    step "building velkarin and installing it with its $extra dependencies into .venv (a minute or two)"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$root[$extra]"
}
