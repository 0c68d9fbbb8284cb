#!/usr/bin/env bash
# Checks what the install rules and the Debian package put on a machine, as a user gets it.
# usage: packaging_test.sh CHECK BUILD_DIR SOURCE_DIR DESKTOP_ID VERSION
set -euo pipefail
check=$1 build=$2 source=$3 id=$4 version=$5
# A prefix with blanks in its path, as some users have.
root="$build/tests/packaging/install root"
prefix="$root/usr"
debdir="$build/tests/packaging/deb"
programs=(estacionamiento fetch json parking-service)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The options a program's --help lists: words starting with one or two dashes.
help_options() {
  "$1" --help | grep -oE '(^|[][ ,|(])--?[[:alnum:]][[:alnum:].-]*' | tr -d '][ ,|(' | sort -u
}

# Every file an installed tree must hold, relative to the prefix.
expected_files() {
  for p in "${programs[@]}"; do
    echo "bin/$p"
    echo "share/man/man1/$p.1.gz"
  done
  echo "share/applications/$id.desktop"
  echo "share/metainfo/$id.metainfo.xml"
  echo "share/icons/hicolor/scalable/apps/$id.svg"
  for size in 16 24 32 48 64 128 256 512; do
    echo "share/icons/hicolor/${size}x${size}/apps/$id.png"
  done
  echo "share/bash-completion/completions/fetch"
  echo "share/bash-completion/completions/json"
  echo "share/doc/estacionamiento/copyright"
  echo "share/doc/estacionamiento/changelog.Debian.gz"
}

check_tree() {
  local top=$1
  while read -r file; do
    [ -e "$top/$file" ] || fail "missing $top/$file"
  done < <(expected_files)
  for p in "${programs[@]}"; do
    [ -x "$top/bin/$p" ] || fail "$top/bin/$p is not executable"
  done
  # Each PNG is as large as the folder it sits in says.
  for png in "$top"/share/icons/hicolor/*x*/apps/"$id".png; do
    local size
    size=$(basename "$(dirname "$(dirname "$png")")")
    file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "$png is not a ${size} PNG"
  done
}

# The installed programs start from the tree they were installed to and answer --help.
check_programs_run() {
  local top=$1
  for p in "${programs[@]}"; do
    local out
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$top/bin/$p" --help) ||
      fail "$p --help exited with $?"
    grep -q -- "--help" <<<"$out" || fail "$p --help does not describe itself: $out"
  done
}

case $check in
  install)
    rm -rf "$root"
    cmake --install "$build" --prefix "$prefix"
    ;;
  installed-tree)
    check_tree "$prefix"
    check_programs_run "$prefix"
    ;;
  desktop-entry)
    entry="$prefix/share/applications/$id.desktop"
    desktop-file-validate "$entry"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -e "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon named $icon"
    exec=$(sed -n 's/^Exec=//p' "$entry")
    [ -x "$prefix/bin/${exec%% *}" ] || fail "Exec=$exec names no installed program"
    for key in 'Comment=' 'Comment\[es\]=' 'Categories=' 'StartupWMClass=' 'X-GNOME-SingleWindow=true'; do
      grep -q "^$key" "$entry" || fail "$entry has no $key"
    done
    ;;
  window-class)
    # The window the installed program maps carries the class the desktop entry names, so
    # docks group it under the entry's icon.
    wanted=$(sed -n 's/^StartupWMClass=//p' "$prefix/share/applications/$id.desktop")
    home="$build/tests/packaging/window home"
    rm -rf "$home"
    export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache"
    classes=$(xvfb-run -a bash -c '
      QT_QPA_PLATFORM=xcb "$1" 2>/dev/null &
      app=$!
      for _ in $(seq 120); do
        for window in $(xwininfo -root -children | grep -oE "^ +0x[0-9a-f]+" ); do
          xprop -id "$window" WM_CLASS | grep -F "WM_CLASS(STRING)" && break 2
        done
        sleep 0.25
      done
      kill "$app"
      wait "$app"' bash "$prefix/bin/estacionamiento")
    grep -qF "\"$wanted\"" <<<"$classes" || fail "window class $classes is not \"$wanted\""
    ;;
  metainfo)
    metainfo="$prefix/share/metainfo/$id.metainfo.xml"
    appstreamcli validate --no-net --strict "$metainfo"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in $metainfo"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
      fail "$metainfo does not launch $id.desktop"
    # Screenshots are the README's pictures.
    shots=$(grep -oE '<image>[^<]*</image>' "$metainfo" | sed -E 's|.*/docs/([^<]*)</image>|\1|')
    [ -n "$shots" ] || fail "no screenshots in $metainfo"
    for shot in $shots; do
      [ -e "$source/docs/$shot" ] || fail "screenshot $shot is not in docs/"
      grep -q "docs/$shot" "$source/README.md" || fail "screenshot $shot is not in the README"
    done
    ;;
  manual-pages)
    for p in "${programs[@]}"; do
      page=$(gzip -dc "$prefix/share/man/man1/$p.1.gz" | sed -E 's/\\f[BIRP]//g; s/\\&//g')
      options=$(help_options "$prefix/bin/$p")
      [ "$(wc -l <<<"$options")" -ge 2 ] || fail "$p --help lists too few options: $options"
      for option in $options; do
        pattern="(^|[^-[:alnum:]])${option//./\\.}([^-.[:alnum:]]|$)"
        grep -qE -- "$pattern" <<<"$page" || fail "$p(1) does not document $option"
      done
      for section in OPTIONS ENVIRONMENT 'EXIT STATUS' EXAMPLES; do
        grep -q "^\.SH $section" <<<"$page" || fail "$p(1) has no $section section"
      done
    done
    ;;
  completion)
    # Completes as bash would, with the installed programs first on PATH.
    complete_words() {
      PATH="$prefix/bin:$PATH" bash -c '
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        "$(complete -p "$1" | sed -E "s/.* -F ([^ ]+) .*/\1/")"
        printf "%s\n" "${COMPREPLY[@]}"' bash "$@"
    }
    completions="$prefix/share/bash-completion/completions"
    got=$(complete_words "$completions/fetch" fetch --cache | sort | tr '\n' ' ')
    [ "$got" = "--cache --cache-policy " ] || fail "fetch --cache completes to '$got'"
    got=$(complete_words "$completions/fetch" fetch -X P | sort | tr '\n' ' ')
    [ "$got" = "PATCH POST PUT " ] || fail "fetch -X P completes to '$got'"
    got=$(complete_words "$completions/json" json --s | tr '\n' ' ')
    [ "$got" = "--sort-keys " ] || fail "json --s completes to '$got'"
    ;;
  deb-build)
    rm -rf "$debdir"
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$debdir"
    ;;
  deb-contents)
    deb=$(ls "$debdir"/*.deb)
    scratch="$debdir/scratch root"
    rm -rf "$scratch"
    dpkg-deb -x "$deb" "$scratch"
    check_tree "$scratch/usr"
    check_programs_run "$scratch/usr"
    for p in "${programs[@]}"; do
      file "$scratch/usr/bin/$p" | grep -q ', stripped' || fail "$p is not stripped"
    done
    # Library dependencies are found by dpkg-shlibdeps, not listed by hand.
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libqt6widgets6 libc6 libssl3 libstdc++6 qt6-qpa-plugins; do
      grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
    done
    control=$(dpkg-deb -I "$deb" | sed -n 's/^ *[0-9]* bytes, *[0-9]* lines *\** *\([^ ]*\).*/\1/p' | sort | tr '\n' ' ')
    [ "$control" = "control md5sums " ] || fail "unexpected control files: $control"
    ;;
  lintian)
    # Errors fail the check; warnings and notes are shown for whoever reads the log.
    lintian --fail-on error --display-info "$debdir"/*.deb
    ;;
  *)
    fail "unknown check $check"
    ;;
esac
echo "ok: $check"
