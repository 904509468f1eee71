#!/usr/bin/env bash
# Installs the build into a staging folder and checks what a desktop needs:
# the program, a valid desktop entry, the icon, a man page that renders
# without warnings and names every option, and the README.
#   install_layout.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
# The udev rule goes where udev reads it, whatever prefix the build was made for.
DESTDIR="$stage/local" cmake --install "$build" --prefix /usr/local >/dev/null
for rule in usr/lib/udev/rules.d local/etc/udev/rules.d; do
    [[ -f "$stage/$rule/60-zovrel-ftdi.rules" ]] || { echo "FAIL: no udev rule in $rule"; exit 1; }
done

for file in bin/zovrel-panel bin/zovrel-send share/man/man1/zovrel-send.1.gz share/applications/example.zovrel.Panel.desktop \
    share/icons/hicolor/scalable/apps/zovrel-panel.svg share/man/man1/zovrel-panel.1.gz \
    share/doc/zovrel-panel/README.md share/doc/zovrel-panel/copyright share/doc/zovrel-panel/changelog.gz; do
    [[ -f "$stage/usr/$file" ]] || { echo "FAIL: missing $file"; exit 1; }
done

if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$stage/usr/share/applications/example.zovrel.Panel.desktop"
elif [[ "${CI:-}" == true ]]; then
    echo "FAIL: desktop-file-validate is missing"; exit 1
fi
grep -q '^Exec=zovrel-panel$' "$stage/usr/share/applications/example.zovrel.Panel.desktop"
grep -q '^Icon=zovrel-panel$' "$stage/usr/share/applications/example.zovrel.Panel.desktop"
grep -q '<svg' "$stage/usr/share/icons/hicolor/scalable/apps/zovrel-panel.svg"

for program in zovrel-panel zovrel-send zovrel-scpi zovrel-sweep; do
    gzip -dk "$stage/usr/share/man/man1/$program.1.gz"
    man=$stage/usr/share/man/man1/$program.1
    warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
    [[ -z "$warnings" ]] || { echo "FAIL: $program.1 renders with warnings: $warnings"; exit 1; }
    version=$("$stage/usr/bin/$program" --version)
    grep -q "$program ${version#$program }" "$man" || { echo "FAIL: $program.1 is not for $version"; exit 1; }
    # Every option the program offers is in its man page.
    for option in $("$stage/usr/bin/$program" --help | grep -o -- '--[a-z]*' | sort -u); do
        grep -q -- "\\\\-\\\\-${option#--}" "$man" || { echo "FAIL: $program.1 lacks $option"; exit 1; }
    done
    for section in "EXIT STATUS" PERMISSIONS; do
        grep -q "^\.SH $section" "$man" || { echo "FAIL: $program.1 lacks $section"; exit 1; }
    done
done
grep -q '^\.SH FILES' "$stage/usr/share/man/man1/zovrel-panel.1" || { echo "FAIL: the man page lacks FILES"; exit 1; }
echo "PASS: the install holds the program, desktop entry, icon, man page and README"
