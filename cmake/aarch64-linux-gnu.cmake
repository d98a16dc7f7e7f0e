# Cross build for ARM64 Linux with Debian's cross compiler (g++-aarch64-linux-gnu),
# tests run under qemu-user (qemu-user):
#   cmake -S . -B build-arm --toolchain cmake/aarch64-linux-gnu.cmake \
#     -DICCDROP_GTEST_SOURCE_DIR=/usr/src/googletest
# The tool links libdeflate and zlib for ARM64 (libdeflate-dev:arm64,
# zlib1g-dev:arm64), the tests OpenSSL's libcrypto (libssl-dev:arm64), after
# `dpkg --add-architecture arm64`. nlohmann-json is headers only and is taken
# from the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs from the host; libraries and headers of the target: the cross
# compiler's own tree, and Debian's multiarch folders for arm64 packages.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config (which FindOpenSSL asks first) must describe arm64 packages too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# ctest and gtest_discover_tests run the test binaries through this. The
# loader and C library come from the cross compiler's tree; LD_LIBRARY_PATH
# keeps the loader from taking libc.so.6 of the arm64 multiarch package that
# libssl-dev:arm64 brings (another build of glibc: a forked child then hangs).
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
