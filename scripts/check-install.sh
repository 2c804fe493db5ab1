#!/usr/bin/env bash
# `make check-install`: the install checks too slow for `make test` (which holds the quick
# ones: the install_check test). Runs, in order:
#   1. make install DESTDIR=<tmp>, then make uninstall DESTDIR=<tmp>: the Makefile's own
#      targets install files and leave none behind;
#   2. make deb: the packages hold the programs, the library, the headers, the launcher
#      entry, the icons, the metainfo and the manual pages; their dependencies come from
#      the binaries; lintian reports no error (its warnings are printed);
#   3. the programs unpacked from the packages run.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-install: $*" >&2
    exit 1
}

echo "check-install: make install / make uninstall with DESTDIR"
make install DESTDIR="$work/destdir" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "make install failed"; }
installed=$(find "$work/destdir" -type f -o -type l | wc -l)
((installed > 20)) || fail "make install installed only $installed files"
[[ -x $work/destdir/usr/local/bin/vxtool ]] || fail "make install put no vxtool under /usr/local/bin"
make uninstall DESTDIR="$work/destdir" >"$work/uninstall.log" 2>&1 || { cat "$work/uninstall.log"; fail "make uninstall failed"; }
left=$(find "$work/destdir" -type f -o -type l)
[[ -z $left ]] || fail "make uninstall left files behind:"$'\n'"$left"
echo "check-install: $installed files installed and removed again"

echo "check-install: make deb"
make deb >"$work/deb.log" 2>&1 || { cat "$work/deb.log"; fail "make deb failed"; }
mapfile -t debs < <(grep '\.deb$' "$work/deb.log")
((${#debs[@]} == 3)) || fail "expected 3 packages, got: ${debs[*]}"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
listing=$work/listing
for deb in "${debs[@]}"; do
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >>"$listing"
done
for path in /usr/bin/voxtrail /usr/bin/vxtool \
    "/usr/lib/$multiarch/libjstream.so" "/usr/lib/$multiarch/libjstream.so.0" \
    "/usr/lib/$multiarch/pkgconfig/jstream.pc" "/usr/lib/$multiarch/cmake/jstream/jstreamConfig.cmake" \
    /usr/include/jstream/JStream.h /usr/include/jstream/JBufferedStream.h \
    /usr/share/applications/voxtrail.desktop /usr/share/metainfo/voxtrail.metainfo.xml \
    /usr/share/icons/hicolor/16x16/apps/voxtrail.png /usr/share/icons/hicolor/256x256/apps/voxtrail.png \
    /usr/share/man/man1/voxtrail.1.gz /usr/share/man/man1/vxtool.1.gz \
    /usr/share/doc/voxtrail/copyright; do
    grep -qxF "$path" "$listing" || fail "no package holds $path"
done
grep -q "^/usr/lib/$multiarch/libjstream\.so\.0\.[0-9]*\.[0-9]*$" "$listing" \
    || fail "no package holds the versioned libjstream.so.0.x.y"

app_deb=$(printf '%s\n' "${debs[@]}" | grep '/voxtrail_')
lib_deb=$(printf '%s\n' "${debs[@]}" | grep '/libjstream[0-9]')
depends=$(dpkg-deb -f "$app_deb" Depends)
# From dpkg-shlibdeps (Qt, SDL2_mixer, libc) and from the library package, at this version.
for needed in libqt6core6 libsdl2-mixer libc6 "libjstream0 (= "; do
    [[ $depends == *"$needed"* ]] || fail "voxtrail's Depends lacks $needed: $depends"
done
for field in Maintainer Section Description; do
    [[ -n $(dpkg-deb -f "$app_deb" "$field") ]] || fail "voxtrail has no $field field"
done
echo "check-install: ${#debs[@]} packages hold every file; voxtrail Depends: $depends"

echo "check-install: lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" | tee "$work/lintian.log" || fail "lintian reports errors"
echo "check-install: lintian: $(grep -c '^W:' "$work/lintian.log" || true) warnings, no errors"

echo "check-install: the packaged programs run"
dpkg-deb -x "$app_deb" "$work/unpacked"
dpkg-deb -x "$lib_deb" "$work/unpacked"
LD_LIBRARY_PATH="$work/unpacked/usr/lib/$multiarch" "$work/unpacked/usr/bin/vxtool" --version \
    || fail "the packaged vxtool does not run"
echo "check-install: all checks passed"
