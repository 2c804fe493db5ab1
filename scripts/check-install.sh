#!/usr/bin/env bash
# `make check-install`: the install checks too slow for `make test` (which holds the quick
# ones: the install_check test). Runs, in order:
#   1. make install DESTDIR=<tmp>, then make uninstall DESTDIR=<tmp>: the Makefile's own
#      targets install files and leave none behind;
#   2. the project file type: the installed package file is valid for shared-mime-info,
#      the launcher claims no type, and in a scratch prefix whose MIME database the install
#      into it built, xdg-mime, gio and file(1) with the installed magic fragment know a
#      show by its name and, renamed, by its first bytes;
#   3. make deb: the packages hold the programs, the library, the headers, the launcher
#      entry, the icons, the project file type, the metainfo and the manual pages; their
#      dependencies come from the binaries; lintian reports no error (its warnings are
#      printed);
#   4. the programs unpacked from the packages run.
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

echo "check-install: the project file type"
type=application/x-voxtrail-project
# An install straight into a prefix (no DESTDIR) builds that prefix's MIME database.
prefix=$work/prefix
cmake --install build --prefix "$prefix" >"$work/prefix.log" 2>&1 || { cat "$work/prefix.log"; fail "installing into $prefix failed"; }
share=$prefix/share
package=$share/mime/packages/voxtrail.xml
[[ -f $package && -f $share/mime/mime.cache ]] || fail "installing into a prefix gave no package file and MIME database in $share/mime"
# The schema is the DTD that shared-mime-info's own package file carries.
sed -n '/^<!DOCTYPE mime-info \[/,/^\]>/{/^<!DOCTYPE/d;/^\]>/d;p}' /usr/share/mime/packages/freedesktop.org.xml >"$work/mime-info.dtd"
[[ -s $work/mime-info.dtd ]] || fail "no DTD in /usr/share/mime/packages/freedesktop.org.xml"
xmllint --noout --dtdvalid "$work/mime-info.dtd" "$package" || fail "$package is not valid for shared-mime-info"
XDG_DATA_DIRS=$share update-mime-database "$share/mime" 2>"$work/update-mime.log" || fail "update-mime-database failed"
[[ ! -s $work/update-mime.log ]] || fail "update-mime-database: $(cat "$work/update-mime.log")"
for size in 16 22 24 32 48 64 128 256; do
    [[ -f $share/icons/hicolor/${size}x$size/mimetypes/application-x-voxtrail-project.png ]] \
        || fail "no ${size}px icon of the project file type"
done
grep -qF "<mediatype>$type</mediatype>" "$share/metainfo/voxtrail.metainfo.xml" || fail "the metainfo provides no $type"
# The window opens no file at start: a launcher that claimed the type would mislead.
! grep -Eq '^MimeType=|%[fFuU]' "$share/applications/voxtrail.desktop" || fail "the launcher entry claims files: $(cat "$share/applications/voxtrail.desktop")"

# A show with one chapter and one short silent recording, and the same show renamed
# without its extension; random bytes, named as a show (the glob alone) and not.
le32() { printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)); }
mkdir -p "$work/show/Act 1" "$work/home"
{
    printf '%b' "RIFF$(le32 4446)WAVEfmt $(le32 16)\x01\x00\x01\x00$(le32 22050)$(le32 44100)\x02\x00\x10\x00data$(le32 4410)"
    head -c 4410 /dev/zero
} >"$work/show/Act 1/Prologue.wav"
"$prefix/bin/vxtool" project import "$work/show" "$work/show.vx" >/dev/null || fail "vxtool project import failed"
cp "$work/show.vx" "$work/show-renamed"
head -c 8192 /dev/urandom >"$work/random"
cp "$work/random" "$work/random.vx"
desktop=(env -i PATH="$PATH" HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_DATA_DIRS="$share")
is() { if [[ $1 == "$type" ]]; then echo yes; else echo no; fi; }
# FILE, then whether xdg-mime and gio (by name, then bytes) and file -m (by bytes) give the type.
while read -r file by_desktop by_file; do
    xdg=$("${desktop[@]}" xdg-mime query filetype "$work/$file" 2>&1) || fail "xdg-mime query filetype $file: $xdg"
    gio=$("${desktop[@]}" gio info -a standard::content-type "$work/$file" 2>&1) || fail "gio info $file: $gio"
    gio=$(sed -n 's/^ *standard::content-type: //p' <<<"$gio")
    magic=$(file -b -m "$share/voxtrail/voxtrail.magic" "$work/$file")
    magic_type=$(file -b --mime-type -m "$share/voxtrail/voxtrail.magic" "$work/$file")
    named=no
    [[ $magic != "voxtrail project, format version "* ]] || named=yes
    [[ $(is "$magic_type") == "$named" ]] || fail "$file: file -m says '$magic' but gives the MIME type $magic_type"
    [[ "$(is "$xdg") $(is "$gio") $named" == "$by_desktop $by_desktop $by_file" ]] \
        || fail "$file: xdg-mime says $xdg, gio $gio, file -m '$magic' ($magic_type); expected $type from xdg-mime and gio: $by_desktop, from file -m: $by_file"
done <<'CASES'
show.vx yes yes
show-renamed yes yes
random.vx yes no
random no no
CASES
echo "check-install: xdg-mime, gio and file -m know a show as $type, with its extension and without"

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
    /usr/share/mime/packages/voxtrail.xml /usr/share/voxtrail/voxtrail.magic \
    /usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/mimetypes/application-x-voxtrail-project.png \
    /usr/share/man/man1/voxtrail.1.gz /usr/share/man/man1/vxtool.1.gz \
    /usr/share/doc/voxtrail/copyright; do
    grep -qxF "$path" "$listing" || fail "no package holds $path"
done
grep -q "^/usr/lib/$multiarch/libjstream\.so\.0\.[0-9]*\.[0-9]*$" "$listing" \
    || fail "no package holds the versioned libjstream.so.0.x.y"
# shared-mime-info's trigger builds the database: no package carries one of its own, nor a
# maintainer script that updates it.
mime_files=$(grep '^/usr/share/mime/.*[^/]$' "$listing" | grep -vxF /usr/share/mime/packages/voxtrail.xml || true)
[[ -z $mime_files ]] || fail "a package carries MIME database files: $mime_files"

app_deb=$(printf '%s\n' "${debs[@]}" | grep '/voxtrail_')
lib_deb=$(printf '%s\n' "${debs[@]}" | grep '/libjstream[0-9]')
dpkg-deb -e "$app_deb" "$work/control"
! grep -rq update-mime-database "$work/control" || fail "voxtrail's maintainer scripts update the MIME database"
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
