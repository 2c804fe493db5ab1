#!/usr/bin/env bash
# `make deb`: builds the Debian packages voxtrail, libjstreamN and libjstream-dev with
# CPack's DEB generator, from a build of their own in build-deb (prefix /usr, no tests,
# Debian's compiler and linker flags with every hardening option). Prints the packages'
# paths, one per line, last.
#
# Environment: DEB_BUILD_DIR (default build-deb), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${DEB_BUILD_DIR:-build-deb}
jobs=${JOBS:-2}

bash scripts/setup.sh

# The flags Debian's own packages are built with; CMake reads no CPPFLAGS, so they join
# the compiler's flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DVOXTRAIL_DEBIAN_PACKAGE=ON -DVOXTRAIL_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j"$jobs"

rm -f "$build_dir"/*.deb
(cd "$build_dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$build_dir/cpack.log"; exit 1; }
ls "$PWD/$build_dir"/*.deb
