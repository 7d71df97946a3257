# Cross-compiling for 64-bit ARM Linux (Raspberry Pi 4 and 5, and other arm64 boards) with
# Debian's cross toolchain (g++-aarch64-linux-gnu), from an x86_64 Debian machine:
#   cmake -S . -B build/aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
# Debian's cross compiler searches its own tree /usr/aarch64-linux-gnu first, then the multiarch
# folders /usr/include/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu, where arm64 packages
# installed with `dpkg --add-architecture arm64` (libpython3.11-dev:arm64) put their files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and CMake packages of the target only; programs (the build's own tools,
# Python included) of the build machine. Python's arm64 headers are given by name
# (-DPython_INCLUDE_DIR=/usr/include/python3.11: its pyconfig.h picks the arm64 one).
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
