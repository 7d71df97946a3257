# cpp-package.sh: what the installed C++ package holds, checked the same way for an install tree
# (tools/test-all) and for the unpacked Debian package (tools/dist). Source it after setup.sh.
# shellcheck shell=bash

# check_cpp_package PREFIX LIBDIR: PREFIX holds the C++ package and nothing else: the programs,
# the public headers, the static core, the CMake package and the pkg-config file, with the
# libraries under PREFIX/LIBDIR (lib, or lib/<multiarch> for /usr). A Python module, its stubs
# or any other file there fails the check.
check_cpp_package() {
    local prefix=$1 libdir=$2 file missing=() unexpected=()
    local required=(
        bin/velkarin-sim bin/velkarin-tool
        include/velkarin/version.hpp include/velkarin/damiao/driver.hpp
        "$libdir/libvelkarin_core.a"
        "$libdir/cmake/velkarin/velkarinConfig.cmake"
        "$libdir/cmake/velkarin/velkarinConfigVersion.cmake"
        "$libdir/cmake/velkarin/velkarinTargets.cmake"
        "$libdir/pkgconfig/velkarin.pc"
    )
    for file in "${required[@]}"; do
        [[ -f $prefix/$file ]] || missing+=("$file")
    done
    ((${#missing[@]} == 0)) || fail "missing from the C++ package in $prefix: ${missing[*]}"
    [[ -x $prefix/bin/velkarin-sim && -x $prefix/bin/velkarin-tool ]] ||
        fail "the programs in $prefix/bin are not executable"
    while IFS= read -r -d '' file; do
        file=${file#"$prefix"/}
        case $file in
            bin/velkarin-sim | bin/velkarin-tool | include/velkarin/*.hpp) ;;
            "$libdir"/libvelkarin_core.a | "$libdir"/cmake/velkarin/*.cmake) ;;
            "$libdir"/pkgconfig/velkarin.pc) ;;
            *) unexpected+=("$file") ;;
        esac
    done < <(find "$prefix" -mindepth 1 ! -type d -print0)
    ((${#unexpected[@]} == 0)) || fail "not part of the C++ package, in $prefix: ${unexpected[*]}"
}
