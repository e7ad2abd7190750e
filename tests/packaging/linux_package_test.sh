#!/bin/sh
# Checks what a Linux user installs, with the platform's own validators:
# the desktop entry (desktop-file-validate), the AppStream metainfo
# (appstreamcli), a staging install file by file, the Debian package built
# twice from the same tree (byte-identical), lintian, and the package's
# program unpacked into a throw-away root and run with --version.
#   linux_package_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR SOURCE_DATE_EPOCH
set -eu
source_dir=$1 build_dir=$2 scratch=$3 epoch=$4
rm -rf "$scratch"
mkdir -p "$scratch"
second=""
trap '[ -z "$second" ] || kill "$second" 2>/dev/null || true; wait; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
id=com.orvantis.MirelFirmwareUpdate
linux=$source_dir/packaging/linux

desktop-file-validate "$linux/$id.desktop"
appstreamcli validate --no-net --pedantic "$build_dir/packaging/$id.metainfo.xml"
# The screenshots the metainfo names are the ones in docs/screenshots.
for shot in $(sed -n 's|.*<image>.*/\([^/<]*\)</image>.*|\1|p' "$build_dir/packaging/$id.metainfo.xml"); do
  [ -f "$source_dir/docs/screenshots/$shot" ] || fail "metainfo names $shot, which docs/screenshots lacks"
done

# The staging install: exactly these files, each the file it comes from.
stage=$scratch/stage
for component in program package_udev desktop; do
  DESTDIR=$stage cmake --install "$build_dir" --prefix /usr --component "$component" >/dev/null
done
expected="usr/bin/MirelFirmwareUpdate
usr/lib/udev/rules.d/70-mirel-mouse.rules
usr/share/applications/$id.desktop
usr/share/doc/mirel-firmware-update/changelog.gz
usr/share/doc/mirel-firmware-update/copyright
usr/share/icons/hicolor/128x128/apps/$id.png
usr/share/icons/hicolor/16x16/apps/$id.png
usr/share/icons/hicolor/256x256/apps/$id.png
usr/share/icons/hicolor/32x32/apps/$id.png
usr/share/icons/hicolor/48x48/apps/$id.png
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/man/man1/MirelFirmwareUpdate.1.gz
usr/share/metainfo/$id.metainfo.xml"
actual=$(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "staging install differs:
$(printf '%s\n' "$expected" >"$scratch/expected"; printf '%s\n' "$actual" | diff "$scratch/expected" - || true)"
same() { cmp -s "$1" "$2" || fail "$2 is not $1"; }
same "$build_dir/app/MirelFirmwareUpdate" "$stage/usr/bin/MirelFirmwareUpdate"
[ -x "$stage/usr/bin/MirelFirmwareUpdate" ] || fail "the program is not executable"
same "$linux/70-mirel-mouse.rules" "$stage/usr/lib/udev/rules.d/70-mirel-mouse.rules"
same "$linux/$id.desktop" "$stage/usr/share/applications/$id.desktop"
same "$linux/copyright" "$stage/usr/share/doc/mirel-firmware-update/copyright"
same "$source_dir/app/res/icons/mirel-app.svg" "$stage/usr/share/icons/hicolor/scalable/apps/$id.svg"
# The PNGs are the renderings of the SVG that is installed beside them (the
# committed files of tools/render_icons.py, rendered again here).
mkdir "$scratch/icons"
cp "$source_dir"/app/res/icons/*.svg "$scratch/icons/"
python3 "$source_dir/tools/render_icons.py" --dir "$scratch/icons" >/dev/null
for size in 16 32 48 128 256; do
  png=$stage/usr/share/icons/hicolor/${size}x$size/apps/$id.png
  same "$scratch/icons/mirel-app-$size.png" "$png"
  # A PNG's header holds its width and height (bytes 16 to 23).
  dims=$(od -An -tx1 -j16 -N8 "$png" | tr -d ' \n')
  [ "$dims" = "$(printf '%08x%08x' "$size" "$size")" ] || fail "$png is not ${size}x$size"
done
gzip -dc "$stage/usr/share/man/man1/MirelFirmwareUpdate.1.gz" | cmp -s - "$linux/MirelFirmwareUpdate.1" ||
  fail "the man page is not packaging/linux/MirelFirmwareUpdate.1"
gzip -dc "$stage/usr/share/doc/mirel-firmware-update/changelog.gz" | cmp -s - "$linux/changelog" ||
  fail "changelog.gz is not packaging/linux/changelog"

# The man page names every option that --help lists.
page=$(sed 's/\\-/-/g' "$linux/MirelFirmwareUpdate.1")
for option in $(timeout -s KILL 30 "$build_dir/app/MirelFirmwareUpdate" --help 2>/dev/null |
                grep -oE '(^|[ ,])(--[a-z][a-z-]*|/[A-Z]{2,})' | tr -d ' ,' | sort -u); do
  case $page in *"$option"*) ;; *) fail "the man page does not name $option" ;; esac
done

# The package, twice: the same tree and SOURCE_DATE_EPOCH give the same bytes.
# gzip rather than the release's xz: the bytes of the archive do not depend
# on the compressor, and xz takes a minute on the sanitizer build's program.
# The second packing runs beside the checks of the first.
pack() {
  SOURCE_DATE_EPOCH=$epoch cpack -G DEB --config "$build_dir/CPackConfig.cmake" \
    -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip -D CPACK_OUTPUT_FILE_PREFIX="$scratch/deb$1" \
    -D CPACK_PACKAGE_DIRECTORY="$scratch/cpack$1" >"$scratch/cpack$1.log" 2>&1 || { cat "$scratch/cpack$1.log" >&2; return 1; }
}
pack 1 || fail "cpack failed"
deb=$(ls "$scratch"/deb1/*.deb)
pack 2 &
second=$!

# Maintainer scripts: the udev rule reloaded on install and removal.
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst postrm; do
  grep -q "udevadm control --reload-rules" "$scratch/control/$script" || fail "$script does not reload udev rules"
done
dpkg-deb -f "$deb" Depends | grep -q "libudev1" || fail "Depends lacks the shared libraries"

# lintian: no error and no warning (overrides in packaging/linux, each with
# its reason, are the only exceptions).
if ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1; then
  cat "$scratch/lintian.txt" >&2
  fail "lintian reports errors or warnings"
fi

# Unpacked into a throw-away root, the program runs and names its version.
dpkg -x "$deb" "$scratch/root"
version=$(timeout -s KILL 30 "$scratch/root/usr/bin/MirelFirmwareUpdate" --version 2>/dev/null) ||
  fail "the packaged program failed --version"
echo "$version"
case $version in *14.2.7*) ;; *) fail "--version says '$version'" ;; esac

wait "$second" || fail "the second cpack failed"
cmp "$deb" "$scratch/deb2/$(basename "$deb")" || fail "two packages of one tree differ"
echo "linux package: validators, staging install, reproducible package, lintian and --version passed"
