#!/usr/bin/env bash
# Installs the build tree into a temporary folder (DESTDIR) and checks that the programs,
# the library, the resources, the desktop entries, the D-Bus services and the icons arrive
# where a desktop looks for them, and that the desktop entries are valid.
#
#   check-install.sh BUILD_DIR PREFIX BINDIR DATADIR
set -euo pipefail

build=$1 prefix=$2 bindir=$3 datadir=$4
destdir=$(mktemp -d "${TMPDIR:-/tmp}/porvane-install.XXXXXX")
trap 'rm -rf "$destdir"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -f "$destdir$1" ] || fail "not installed: $1"; }

DESTDIR="$destdir" cmake --install "$build" >/dev/null

expect_file "$bindir/porvane"
[ -x "$destdir$bindir/porvane" ] || fail "porvane is not executable"
# The companion: its D-Bus service and the login item start it from here.
[ -x "$destdir$bindir/porvane-express" ] || fail "porvane-express is not installed"
ls "$destdir$prefix"/lib*/libPorvaneKit.so* >/dev/null 2>&1 || fail "libPorvaneKit.so not installed"
expect_file "$datadir/porvane/scripts/Services.js"
expect_file "$datadir/porvane/lists/Services.plist"
# The desktop files are for the desktop's folders, not the program's resources.
[ ! -e "$destdir$datadir/porvane/desktop" ] || fail "desktop files copied into the resources"

apps="$datadir/applications"
for entry in com.quillbay.mac.Porvane.desktop com.quillbay.mac.Porvane.Updater.desktop; do
  expect_file "$apps/$entry"
  if [ -f "$destdir$apps/$entry" ]; then
    desktop-file-validate "$destdir$apps/$entry" || fail "$entry does not validate"
  fi
done
mime_types=$(sed -n 's/^MimeType=//p' "$destdir$apps/com.quillbay.mac.Porvane.desktop" 2>/dev/null)
[[ ";$mime_types" == *";x-scheme-handler/porvane;"* ]] ||
  fail "the application does not handle porvane: links"
[[ ";$mime_types" == *";application/x-porvane-delivery;"* ]] ||
  fail "the application does not open delivery documents"
grep -qx 'NoDisplay=true' "$destdir$apps/com.quillbay.mac.Porvane.Updater.desktop" ||
  fail "the companion would show in the application menu"

services="$datadir/dbus-1/services"
check_service() {  # name program
  local file="$services/$1.service"
  expect_file "$file"
  [ -f "$destdir$file" ] || return 0
  grep -qx "Name=$1" "$destdir$file" || fail "$file names another bus name"
  grep -q "^Exec=$bindir/$2\( \|$\)" "$destdir$file" || fail "$file does not start $bindir/$2"
}
check_service com.quillbay.mac.Porvane porvane-app
check_service com.quillbay.mac.Porvane.Updater porvane-express

icons="$datadir/icons/hicolor"
expect_file "$icons/scalable/apps/com.quillbay.mac.Porvane.svg"
expect_file "$icons/symbolic/apps/porvane-panel-symbolic.svg"

# The German catalog, where gettext looks for the programs' texts.
expect_file "$datadir/locale/de/LC_MESSAGES/porvane.mo"

# Exported deliveries are a file type of their own once the MIME database knows the package.
mime="$datadir/mime"
expect_file "$mime/packages/com.quillbay.mac.Porvane.xml"
if [ -f "$destdir$mime/packages/com.quillbay.mac.Porvane.xml" ]; then
  update-mime-database "$destdir$mime" >/dev/null 2>&1 || fail "the MIME package does not load"
  grep -qx 'application/x-porvane-delivery:\*\.porvane' "$destdir$mime/globs" ||
    fail "*.porvane is not application/x-porvane-delivery"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures problem(s) in the installed tree" >&2
  exit 1
fi
echo "Installed tree complete"
