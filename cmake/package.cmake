# The C++ package as a Debian package: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (tools/dist) makes libvelkarin-dev_<version>_<arch>.deb with
# everything `cmake --install` puts there: headers, static core, CMake and pkg-config files,
# velkarin-sim and velkarin-tool.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libvelkarin-dev)
set(CPACK_PACKAGE_VENDOR "velkarin developers")
set(CPACK_PACKAGE_CONTACT "velkarin developers")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "velkarin developers")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Damiao servo motors over Linux SocketCAN: C++23 library and tools
The native core of velkarin as a static library (libvelkarin_core.a) with its
public headers, a CMake package (find_package(velkarin), target velkarin::core)
and a pkg-config file (velkarin.pc): the Damiao motor protocol (MIT, position,
velocity and force-position control, registers) over SocketCAN, with batched
multi-motor cycles.
.
Also velkarin-tool, which finds, configures and watches motors, and
velkarin-sim, a virtual motor on a SocketCAN interface.")
# Programs that use the library need a C++23 compiler with GCC 12's standard library or newer.
# The programs in the package are linked statically in release builds; dpkg-shlibdeps adds
# whatever a dynamically linked one needs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6-dev, libstdc++-12-dev | libstdc++-dev")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++ (>= 4:12)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake (>= 3.24), pkgconf")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
