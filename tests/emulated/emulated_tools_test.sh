#!/usr/bin/env bash
# Checks the emulated macOS tools the way the installer and its tests use
# them: exit statuses, what they print and what they leave on disk.
#
#   emulated_tools_test.sh TOOLS_DIR [CASE_NAME_PATTERN]
#
# Every case runs in a subshell inside its own temporary folder, which also
# serves as TMPDIR (so attached volumes land there) and holds the control
# folder. The folder is removed afterwards, mounts included, pass or fail.
set -uo pipefail

TOOLS=$(realpath -e -- "${1:?usage: emulated_tools_test.sh TOOLS_DIR [CASE_PATTERN]}") || exit 2
PATTERN=${2:-}
export LC_ALL=C

case_dir=''
case_failed=0

# ---------------------------------------------------------------- helpers

current_case() {
  local f
  for f in "${FUNCNAME[@]}"; do
    [[ $f == case_* ]] && { printf "%s" "${f#case_}"; return; }
  done
  printf "?"
}

fail() {
  printf "FAIL [%s]: %s\n" "$(current_case)" "$*" >&2
  case_failed=1
}

# A setup step that must work for the rest of the case to mean anything.
need() {
  "$@" || {
    printf "FAIL [%s]: setup step failed: %s\n" "$(current_case)" "$*" >&2
    exit 1
  }
}

# expect_status WANT CMD... ; stdout and stderr of CMD land in ./out and ./err.
expect_status() {
  local want=$1
  shift
  "$@" >out 2>err
  local got=$?
  if (( got != want )); then
    fail "status $got, expected $want: $* (stderr: $(head -c 300 err))"
    return 1
  fi
  return 0
}

wait_for() {
  local path=$1 tries=${2:-250}
  while (( tries-- > 0 )); do
    [[ -e $path ]] && return 0
    sleep 0.02
  done
  return 1
}

mountinfo_points() {
  awk '
    function unescape(s,   out, i, c) {
      out = ""
      while ((i = index(s, "\\")) > 0) {
        c = substr(s, i + 1, 3)
        out = out substr(s, 1, i - 1) sprintf("%c", substr(c, 1, 1) * 64 + substr(c, 2, 1) * 8 + substr(c, 3, 1))
        s = substr(s, i + 4)
      }
      return out s
    }
    { print unescape($5) }' /proc/self/mountinfo 2>/dev/null
}

is_mount_point() {
  local p
  while IFS= read -r p; do
    [[ $p == "$1" ]] && return 0
  done < <(mountinfo_points)
  return 1
}

# Type, mode, link target and content digest of every entry, by path.
tree_listing() {
  (
    cd -- "$1" || exit 1
    find . -mindepth 1 -printf '%P|%y|%m|%l|' -exec sh -c '
      if [ -f "$1" ] && [ ! -L "$1" ]; then sha256sum < "$1" | cut -c1-64; else echo -; fi' sh {} \; |
      sort
  )
}

mask_write_bits() {
  local path type mode rest
  while IFS='|' read -r path type mode rest; do
    [[ $type == l ]] || mode=$(printf '%o' $((8#$mode & ~0222)))
    printf '%s|%s|%s|%s\n' "$path" "$type" "$mode" "$rest"
  done
}

tree_times() {
  (cd -- "$1" && find . -printf '%P|%T@\n' | sort)
}

# The mount-point string of an attach plist, with the XML escapes undone.
plist_mount_point() {
  local mp
  mp=$(awk '/<key>mount-point<\/key>/ { getline; sub(/^[ \t]*<string>/, ""); sub(/<\/string>[ \t]*$/, ""); print; exit }' "$1")
  mp=${mp//'&lt;'/'<'}
  mp=${mp//'&gt;'/'>'}
  mp=${mp//'&quot;'/'"'}
  mp=${mp//'&apos;'/"'"}
  mp=${mp//'&amp;'/'&'}
  printf '%s' "$mp"
}

# A small application bundle whose executable records how it was started:
# its arguments (NUL-separated), session, standard input, working folder and
# open descriptors, then waits for a "release" file so a test can see that
# the launcher did not wait for it.
make_app() {
  local app=$1 exe=${2:-Demo}
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources/sub dir" "$app/Contents/Frameworks/Empty" || return 1
  cat >"$app/Contents/Info.plist" <<EOF || return 1
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.demo</string>
	<key>CFBundleExecutable</key>
	<string>$exe</string>
</dict>
</plist>
EOF
  cat >"$app/Contents/MacOS/$exe" <<'EOF' || return 1
#!/usr/bin/env bash
report=${DEMO_REPORT:?}
: >"$report.args.tmp"
(( $# == 0 )) || printf '%s\0' "$@" >"$report.args.tmp"
read -r -a stat < /proc/$$/stat
stdin=$(readlink /proc/$$/fd/0)
stdout=$(readlink /proc/$$/fd/1)
{
  echo "pid=$$"
  echo "sid=${stat[5]}"
  echo "stdin=$stdin"
  echo "stdout=$stdout"
  echo "cwd=$(pwd)"
  echo "fds=$(ls /proc/$$/fd | sort -n | tr '\n' ' ')"
} >"$report.info.tmp"
mv "$report.args.tmp" "$report.args"
mv "$report.info.tmp" "$report.info"
for (( i = 0; i < 500; i++ )); do
  [[ -e $report.release ]] && break
  sleep 0.02
done
: >"$report.done"
EOF
  chmod 755 "$app/Contents/MacOS/$exe" || return 1
  printf 'resource\n' >"$app/Contents/Resources/a.txt" &&
    printf 'spaced\n' >"$app/Contents/Resources/sub dir/b c.txt" &&
    printf 'secret\n' >"$app/Contents/Resources/private.txt" &&
    chmod 600 "$app/Contents/Resources/private.txt" &&
    ln -s a.txt "$app/Contents/Resources/link" &&
    ln -s ../MacOS "$app/Contents/Resources/macos-link"
}

# Attaches IMAGE, leaving the plist in ./attach.plist and the mount point in $mp.
attach() {
  "$TOOLS/hdiutil" attach -readonly -nobrowse -plist "$1" >attach.plist 2>err || return 1
  mp=$(plist_mount_point attach.plist)
  [[ -n $mp && -d $mp ]]
}

# ------------------------------------------------------------------ cases

case_image_round_trip() {
  need mkdir -p src/empty
  need make_app src/Demo.app
  need ln -s /Applications src/Applications
  printf 'x' >src/'name with & and <>' || exit 1
  expect_status 0 "$TOOLS/hdiutil" create -srcfolder src -volname 'Demo & <Vol>' -ov -format UDZO img.dmg || return
  [[ $(ls -A) == $'err\nimg.dmg\nout\nsrc' ]] || fail "temporary files left beside the image: $(ls -A | tr '\n' ' ')"

  # The caller's umask must not change what the volume shows.
  umask 077
  need attach img.dmg
  umask 022
  [[ ${mp##*/} == 'Demo & <Vol>' ]] || fail "volume folder is not named after the volume: $mp"
  [[ $mp == "$TMPDIR"/* ]] || fail "volume not under TMPDIR: $mp"
  [[ ! -e $mp/.emulated-volume-name ]] || fail "volume name member is visible in the volume"

  local want got
  want=$(tree_listing src)
  got=$(tree_listing "$mp")
  if is_mount_point "$mp"; then
    [[ $got == "$want" ]] || fail "volume differs from the source folder"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
  else
    # Without a read-only mount the volume only loses its write bits.
    local masked
    masked=$(tree_listing src | mask_write_bits)
    [[ $got == "$masked" ]] || fail "volume differs from the source folder"$'\n'"$(diff <(echo "$masked") <(echo "$got"))"
    [[ -z $(find "$mp" ! -type l -perm /222) ]] || fail "volume still has writable entries"
  fi

  # Root ignores permission bits, so only a read-only mount can stop it.
  if is_mount_point "$mp" || (( EUID != 0 )); then
    (: >"$mp/new-file") 2>/dev/null && fail "could create a file in the volume"
    (printf 'changed' >"$mp/Demo.app/Contents/Resources/a.txt") 2>/dev/null && fail "could change a file in the volume"
    rm -f "$mp/Demo.app/Contents/Info.plist" 2>/dev/null
    [[ -e $mp/Demo.app/Contents/Info.plist ]] || fail "could delete a file in the volume"
  fi
  (( EUID != 0 )) || is_mount_point "$mp" || printf 'note: running as root without a read-only bind mount\n' >&2

  local parent=${mp%/*}
  expect_status 0 "$TOOLS/hdiutil" detach "$mp"
  [[ ! -e $mp && ! -e $parent ]] || fail "detach left $parent behind"
  is_mount_point "$mp" && fail "detach left the mount in place"
  [[ -z $(ls -A "$EMULATED_TOOLS_CONTROL/attached" 2>/dev/null) ]] || fail "registry still lists the volume"
  [[ $(tree_listing src) == "$want" ]] || fail "detach changed the source folder"
}

case_attach_plist_entities() {
  local vol="Q&A <1> \"it's\""
  need mkdir src
  need make_app src/Demo.app
  need "$TOOLS/hdiutil" create -srcfolder src -volname "$vol" -ov -format UDZO img.dmg >/dev/null
  need attach img.dmg
  grep -q '^<?xml version="1.0"' attach.plist || fail "no XML declaration"
  grep -q '<!DOCTYPE plist' attach.plist || fail "no plist doctype"
  # One summary line per entity dictionary: hint, device, mount point, kind.
  local summary
  summary=$(awk '
    /<key>system-entities<\/key>/ { in_entities = 1 }
    in_entities && /<dict>/ { depth++; hint = dev = mpt = kind = "-"; next }
    in_entities && /<\/dict>/ && depth { depth--; print hint "|" dev "|" mpt "|" kind; n++; next }
    depth && /<key>/ { key = $0; gsub(/.*<key>|<\/key>.*/, "", key); getline; val = $0
      gsub(/.*<string>|<\/string>.*/, "", val)
      if (key == "content-hint") hint = val
      if (key == "dev-entry") dev = val
      if (key == "mount-point") mpt = "MP"
      if (key == "volume-kind") kind = val }
    /<\/array>/ { in_entities = 0 }' attach.plist)
  local -a lines
  mapfile -t lines <<<"$summary"
  (( ${#lines[@]} == 3 )) || fail "expected 3 entities, got ${#lines[@]}: $summary"
  [[ ${lines[0]:-} =~ ^GUID_partition_scheme\|/dev/disk[0-9]+\|-\|-$ ]] || fail "first entity: ${lines[0]:-}"
  [[ ${lines[1]:-} =~ ^EFI\|/dev/disk[0-9]+s1\|-\|-$ ]] || fail "second entity: ${lines[1]:-}"
  [[ ${lines[2]:-} =~ ^Apple_HFS\|/dev/disk[0-9]+s2\|MP\|hfs$ ]] || fail "third entity: ${lines[2]:-}"
  [[ $(grep -c '<key>mount-point</key>' attach.plist) == 1 ]] || fail "mount-point appears more than once"
  [[ $mp == /* && -d $mp/Demo.app ]] || fail "mount point is not the absolute volume folder: $mp"
  [[ ${mp##*/} == "$vol" ]] || fail "volume folder name does not survive the plist: ${mp##*/}"
  # Every character data in the plist is escaped: no raw markup characters.
  local text
  text=$(sed -e 's/<[^>]*>//g' attach.plist | grep -v '^<?xml\|^<!DOCTYPE')
  [[ $text != *[\<\>\"\']* ]] || fail "unescaped markup characters in the plist"
  [[ -z $(grep -o '&[^;]*;' <<<"$text" | grep -v '^&\(amp\|lt\|gt\|quot\|apos\);$') ]] || fail "unknown entity in the plist"
  [[ $(grep -o '&' <<<"$text" | wc -l) == $(grep -o '&[a-z]*;' <<<"$text" | wc -l) ]] || fail "bare ampersand in the plist"
  need "$TOOLS/hdiutil" detach "$mp" >/dev/null
}

case_create_options_and_overwrite() {
  need mkdir src1 src2 tmp2
  printf 'one\n' >src1/f || exit 1
  printf 'two\n' >src2/f || exit 1
  # Options in another order than the installer uses.
  expect_status 0 "$TOOLS/hdiutil" create -format UDZO -ov -volname V -srcfolder src1 img.dmg || return
  local before
  before=$(sha256sum <img.dmg)
  expect_status 1 "$TOOLS/hdiutil" create -srcfolder src2 -volname V -format UDZO img.dmg
  [[ $(sha256sum <img.dmg) == "$before" ]] || fail "image changed without -ov"
  expect_status 0 "$TOOLS/hdiutil" create -srcfolder src2 -volname V -ov -format UDZO img.dmg
  need attach img.dmg
  [[ $(cat "$mp/f") == two ]] || fail "-ov did not replace the image contents"
  need "$TOOLS/hdiutil" detach "$mp" >/dev/null
  [[ -z $(find . -maxdepth 1 -name '.img.dmg*') ]] || fail "temporary image left behind"

  printf 'x\n' >src1/.emulated-volume-name || exit 1
  local -a bad
  local line
  while IFS= read -r line; do
    read -r -a bad <<<"$line"
    rm -f new.dmg
    expect_status 1 "$TOOLS/hdiutil" "${bad[@]}"
    [[ ! -e new.dmg ]] || fail "image made by: ${bad[*]}"
    [[ -z $(find . -maxdepth 1 -name '.new.dmg*') ]] || fail "temporary image left by: ${bad[*]}"
  done <<'EOF'
create -srcfolder missing -volname V -ov -format UDZO new.dmg
create -srcfolder src1 -volname V -ov -format UDZO new.dmg
create -srcfolder src2 -volname V -ov -format UDRW new.dmg
create -srcfolder src2 -volname V -ov new.dmg
create -srcfolder src2 -ov -format UDZO new.dmg
create -volname V -ov -format UDZO new.dmg
create -srcfolder src2 -volname V -ov -format UDZO -bogus new.dmg
create -srcfolder src2 -volname V -ov -format UDZO
EOF
}

case_attach_failures() {
  need mkdir src folder-image
  printf 'x\n' >src/f || exit 1
  need head -c 40000 /dev/urandom >src/big
  need "$TOOLS/hdiutil" create -srcfolder src -volname V -ov -format UDZO good.dmg >/dev/null
  printf 'this is not a disk image\n' >text.dmg || exit 1
  : >empty.dmg || exit 1
  # Cut inside the contents, past the volume name.
  head -c "$(( $(wc -c <good.dmg) / 2 ))" good.dmg >truncated.dmg || exit 1
  (cd src && tar -cf ../plain.tar f) || exit 1
  local -a cmd
  local line
  while IFS= read -r line; do
    read -r -a cmd <<<"$line"
    expect_status 1 "$TOOLS/hdiutil" "${cmd[@]}"
    [[ ! -s out ]] || fail "printed a plist for: $line"
    [[ -z $(ls -A "$TMPDIR") ]] || fail "left a folder behind for: $line: $(ls -A "$TMPDIR")"
  done <<'EOF'
attach -readonly -nobrowse -plist missing.dmg
attach -readonly -nobrowse -plist text.dmg
attach -readonly -nobrowse -plist empty.dmg
attach -readonly -nobrowse -plist truncated.dmg
attach -readonly -nobrowse -plist plain.tar
attach -readonly -nobrowse -plist folder-image
attach -readonly -nobrowse good.dmg
attach -nobrowse -plist good.dmg
attach -readonly -nobrowse -plist -plist good.dmg
attach -readonly -nobrowse -plist -mountpoint good.dmg
attach good.dmg
attach
EOF
  if (( EUID != 0 )); then
    need cp good.dmg unreadable.dmg
    need chmod 000 unreadable.dmg
    expect_status 1 "$TOOLS/hdiutil" attach -readonly -nobrowse -plist unreadable.dmg
    [[ -z $(ls -A "$TMPDIR") ]] || fail "left a folder behind for an unreadable image"
  fi
  # Options in another order still attach.
  expect_status 0 "$TOOLS/hdiutil" attach -plist -nobrowse -readonly good.dmg || return
  mp=$(plist_mount_point out)
  [[ $(cat "$mp/f" 2>/dev/null) == x ]] || fail "reordered options did not attach the image"
  need "$TOOLS/hdiutil" detach "$mp" >/dev/null
}

case_detach_refuses_foreign_folders() {
  need mkdir -p src plain/inner "$TMPDIR/emulated-volumes.fake/Vol"
  printf 'keep\n' >plain/inner/file || exit 1
  printf 'keep\n' >"$TMPDIR/emulated-volumes.fake/Vol/file" || exit 1
  printf 'x\n' >src/f || exit 1
  need mkdir src/sub
  need "$TOOLS/hdiutil" create -srcfolder src -volname V -ov -format UDZO img.dmg >/dev/null
  need attach img.dmg
  local target
  # A folder beside the volume, in the folder attach made for it.
  need mkdir "${mp%/*}/beside"
  for target in plain plain/inner "$TMPDIR/emulated-volumes.fake/Vol" "${mp%/*}" "${mp%/*}/beside" "$mp/sub" missing /; do
    expect_status 1 "$TOOLS/hdiutil" detach "$target"
  done
  [[ -f plain/inner/file && -f $TMPDIR/emulated-volumes.fake/Vol/file ]] || fail "detach removed a folder it did not attach"
  [[ -d ${mp%/*}/beside ]] || fail "detach removed the folder beside the volume"
  [[ -f $mp/f && -d $mp/sub ]] || fail "a refused detach damaged the attached volume"
  # A trailing slash names the same volume.
  expect_status 0 "$TOOLS/hdiutil" detach "$mp/"
  [[ ! -e $mp ]] || fail "detach with a trailing slash kept the volume"
  expect_status 1 "$TOOLS/hdiutil" detach "$mp"
  expect_status 1 "$TOOLS/hdiutil" detach
  expect_status 1 "$TOOLS/hdiutil" detach a b
}

case_codesign_detects_changes() {
  need make_app base.app
  printf 'new\nline' >"base.app/Contents/Resources/odd"$'\n'"name" || exit 1
  local change n=0
  while IFS= read -r change; do
    [[ -n $change ]] || continue
    n=$((n + 1))
    need cp -a base.app "app$n.app"
    need "$TOOLS/codesign" --sign - --force --deep "app$n.app" 2>/dev/null
    expect_status 0 "$TOOLS/codesign" --verify --deep --strict "app$n.app" || continue
    (cd "app$n.app/Contents" && eval "$change") || { fail "could not apply: $change"; continue; }
    if "$TOOLS/codesign" --verify --deep --strict "app$n.app" >out 2>err; then
      fail "change not detected: $change"
    elif [[ $? != 1 ]]; then
      fail "status other than 1 for: $change"
    fi
    # Signing again accepts the change.
    need "$TOOLS/codesign" --sign - --force --deep "app$n.app" 2>/dev/null
    expect_status 0 "$TOOLS/codesign" --verify --deep --strict "app$n.app" || fail "re-signing did not cover: $change"
  done <<'EOF'
printf 'resourcE\n' > Resources/a.txt
printf 'more' >> Resources/a.txt
: > Resources/a.txt
printf 'x' > Resources/added.txt
mkdir Resources/added-dir
rm Resources/a.txt
rm Resources/link
rmdir Frameworks/Empty
mv Resources/a.txt Resources/A.txt
mv 'Resources/sub dir/b c.txt' 'Resources/sub dir/b  c.txt'
mv 'Resources/sub dir' 'Resources/sub_dir'
chmod 700 MacOS/Demo
chmod 644 MacOS/Demo
chmod 604 Resources/private.txt
chmod 700 Resources
ln -sfn private.txt Resources/link
ln -sfn ../Resources Resources/macos-link
rm Resources/link && cp Resources/a.txt Resources/link
rm Resources/a.txt && ln -s link Resources/a.txt
printf 'x' > _CodeSignature/extra
printf 'x' > ../outside-contents
printf 'odd' > "Resources/odd"$'\n'"name"
printf '\n' >> _CodeSignature/CodeResources
sed -i '2d' _CodeSignature/CodeResources
EOF
  (( n >= 20 )) || fail "change table did not run ($n rows)"

  need mkdir -p notabundle unsigned.app/Contents
  : >plainfile || exit 1
  local target
  for target in unsigned.app notabundle plainfile missing.app; do
    expect_status 1 "$TOOLS/codesign" --verify --deep --strict "$target"
  done
  expect_status 1 "$TOOLS/codesign" --sign - --force --deep notabundle
  local -a cmd
  local line
  while IFS= read -r line; do
    read -r -a cmd <<<"$line"
    expect_status 1 "$TOOLS/codesign" "${cmd[@]}"
  done <<'EOF'
--sign - --force app1.app
--sign Developer --force --deep app1.app
--verify --deep app1.app
--verify --strict app1.app
--verify --deep --strict --sign - app1.app
--verify --deep --strict
--display app1.app
EOF
}

case_codesign_on_attached_image() {
  need mkdir -p src
  need make_app src/Demo.app
  # Options in another order than the installer uses.
  expect_status 0 "$TOOLS/codesign" --deep --force --sign - src/Demo.app || return
  need "$TOOLS/hdiutil" create -srcfolder src -volname Demo -ov -format UDZO img.dmg >/dev/null
  need attach img.dmg
  expect_status 0 "$TOOLS/codesign" --strict --deep --verify "$mp/Demo.app"
  # The installed copy verifies too, and a change to it is caught.
  expect_status 0 "$TOOLS/ditto" "$mp/Demo.app" "apps/Demo.app"
  expect_status 0 "$TOOLS/codesign" --verify --deep --strict apps/Demo.app
  need chmod -R u+w apps
  printf 'tampered\n' >apps/Demo.app/Contents/Resources/a.txt || exit 1
  expect_status 1 "$TOOLS/codesign" --verify --deep --strict apps/Demo.app
  need "$TOOLS/hdiutil" detach "$mp" >/dev/null
}

case_ditto_copies_and_merges() {
  need mkdir -p src/dir/deeper src/private src/empty
  printf 'exe\n' >src/dir/tool || exit 1
  printf 'ro\n' >src/dir/readonly || exit 1
  printf 'deep\n' >src/dir/deeper/f || exit 1
  printf 'new\n' >src/common || exit 1
  need chmod 751 src/dir/tool
  need chmod 444 src/dir/readonly
  need chmod 700 src/private
  need chmod 2750 src/dir/deeper
  need ln -s dir/tool src/relative-link
  need ln -s /nonexistent/target src/dangling-link
  need ln -s dir src/dir-link
  need find src -exec touch -h -d '2001-02-03 04:05:06.123456789' {} +
  local want
  want=$(tree_listing src)

  expect_status 0 "$TOOLS/ditto" src new/parents/copy
  [[ $(tree_listing new/parents/copy) == "$want" ]] || fail "copy differs"$'\n'"$(diff <(echo "$want") <(tree_listing new/parents/copy))"
  [[ $(tree_times new/parents/copy) == "$(tree_times src)" ]] || fail "timestamps not kept"$'\n'"$(diff <(tree_times src) <(tree_times new/parents/copy))"
  [[ -L new/parents/copy/dir-link && -d src/dir-link ]] || fail "link to a folder was followed"

  # Merging into an existing folder keeps what only the destination has and
  # replaces what both have, including a file a previous copy left read-only.
  need mkdir -p merged/dir
  printf 'old\n' >merged/common || exit 1
  printf 'mine\n' >merged/only-here || exit 1
  printf 'old ro\n' >merged/dir/readonly || exit 1
  need chmod 444 merged/dir/readonly
  expect_status 0 "$TOOLS/ditto" src merged
  [[ $(cat merged/only-here) == mine ]] || fail "merge lost a destination-only file"
  [[ $(cat merged/common) == new ]] || fail "merge did not replace a common file"
  [[ $(cat merged/dir/readonly) == ro ]] || fail "merge did not replace a read-only file"
  [[ $(tree_listing merged | grep -v '^only-here|') == "$want" ]] || fail "merged tree differs from the source"

  expect_status 1 "$TOOLS/ditto" missing out1
  [[ ! -e out1 ]] || fail "destination made for a missing source"
  : >afile || exit 1
  expect_status 1 "$TOOLS/ditto" src afile
  expect_status 1 "$TOOLS/ditto" src
  expect_status 1 "$TOOLS/ditto" src a b
  expect_status 1 "$TOOLS/ditto" -V src out2
}

case_lipo_architectures() {
  local host
  case $(uname -m) in
    x86_64) host=x86_64 ;;
    aarch64) host=arm64 ;;
    i?86) host=i386 ;;
    *) host='' ;;
  esac
  need cp /bin/true elf-universal
  printf '# lipo-archs: x86_64 arm64\n' >>elf-universal || exit 1
  need cp /bin/true elf-spaced
  printf '# lipo-archs:   arm64    x86_64  \n' >>elf-spaced || exit 1
  need cp /bin/true elf-own-line
  printf '\n# lipo-archs: arm64\n' >>elf-own-line || exit 1
  printf '#!/bin/sh\necho hi # lipo-archs: arm64\n' >script-mid-line || exit 1
  printf '#!/bin/sh\necho hi\n# lipo-archs: arm64' >script-no-newline || exit 1
  printf '#!/bin/sh\n# lipo-archs: arm64\necho hi\n' >script-trailer-not-last || exit 1
  printf '#!/bin/sh\necho hi\n' >script-plain || exit 1
  # Bare 64-byte ELF headers: FILE CLASS DATA (1 little, 2 big endian) and
  # the two machine bytes as stored.
  elf() {
    {
      printf '\177ELF'
      printf "\\$2\\$3\\001"
      head -c 9 /dev/zero
      printf '\002\000'
      printf "$4"
      head -c 44 /dev/zero
    } >"$1"
  }
  elf elf-arm64 002 001 '\267\000' || exit 1
  elf elf-x86_64 002 001 '\076\000' || exit 1
  elf elf-i386 001 001 '\003\000' || exit 1
  elf elf-ppc64-big-endian 002 002 '\000\025' || exit 1
  elf elf-riscv 002 001 '\363\000' || exit 1
  [[ $(wc -c <elf-arm64) == 64 ]] || fail "test ELF header has the wrong size"
  printf '\177ELF' >elf-truncated || exit 1
  need mkdir folder
  local row file want
  while IFS='=' read -r file want; do
    [[ $file == /bin/true && -z $host ]] && continue
    [[ $want == HOST ]] && want=$host
    if [[ $want == FAIL ]]; then
      expect_status 1 "$TOOLS/lipo" -archs "$file" || continue
      [[ ! -s out ]] || fail "$file: printed architectures on failure"
      grep -q "can't" err || fail "$file: no diagnostic"
    else
      expect_status 0 "$TOOLS/lipo" -archs "$file" || continue
      [[ $(od -An -c out | tr -s ' ') == "$(printf '%s\n' "$want" | od -An -c | tr -s ' ')" ]] ||
        fail "$file: printed '$(cat out)', expected '$want' and one line feed"
    fi
  done <<'EOF'
/bin/true=HOST
elf-universal=x86_64 arm64
elf-spaced=arm64 x86_64
elf-own-line=arm64
script-mid-line=FAIL
script-no-newline=arm64
elf-arm64=arm64
elf-x86_64=x86_64
elf-i386=i386
elf-ppc64-big-endian=ppc64
script-trailer-not-last=FAIL
script-plain=FAIL
elf-riscv=FAIL
elf-truncated=FAIL
folder=FAIL
missing=FAIL
EOF
  grep -q "can't figure out the architecture type of: script-plain" <("$TOOLS/lipo" -archs script-plain 2>&1) ||
    fail "message differs from the real tool's"
  ./elf-universal || fail "the trailer broke the ELF binary"
  expect_status 1 "$TOOLS/lipo" -info elf-arm64
  expect_status 1 "$TOOLS/lipo" -archs
  expect_status 1 "$TOOLS/lipo" -archs elf-arm64 elf-x86_64
}

case_open_launches_detached() {
  need make_app 'My App.app'
  export DEMO_REPORT=$PWD/report
  local -a args=('two words' '' '-dash' '*' '--args' $'line\nbreak' "quote'\"")
  exec 7>leaked-descriptor || exit 1
  local start=$SECONDS out
  # Captured output: the command substitution only ends once nobody holds
  # the pipe, so a launcher that waits for the app, or lets it keep the pipe,
  # blocks here until the app gives up (10 s).
  out=$("$TOOLS/open" 'My App.app' --args "${args[@]}" 2>&1)
  local status=$?
  exec 7>&-
  (( status == 0 )) || fail "open failed ($status): $out"
  (( SECONDS - start < 5 )) || fail "open waited for the application"
  wait_for report.info || { fail "application did not start"; return; }
  [[ ! -e report.done ]] || fail "application ended before it was released"
  local -a got
  mapfile -d '' got <report.args
  [[ ${#got[@]} == "${#args[@]}" ]] || fail "got ${#got[@]} arguments, expected ${#args[@]}"
  local i
  for i in "${!args[@]}"; do
    [[ ${got[i]-} == "${args[i]}" ]] || fail "argument $i is '${got[i]-}', expected '${args[i]}'"
  done
  local pid sid
  pid=$(sed -n 's/^pid=//p' report.info)
  sid=$(sed -n 's/^sid=//p' report.info)
  [[ -n $pid && $pid == "$sid" ]] || fail "application is not in a session of its own (pid $pid, sid $sid)"
  grep -qx 'stdin=/dev/null' report.info || fail "standard input is not /dev/null"
  grep -qx 'stdout=/dev/null' report.info || fail "standard output is not /dev/null"
  grep -qx 'cwd=/' report.info || fail "working folder is not /"
  grep -q '^fds=.* 7 ' report.info && fail "application inherited descriptor 7"
  : >report.release
  wait_for report.done || fail "application did not finish"

  # Without --args the application gets no arguments.
  rm -f report.*
  expect_status 0 "$TOOLS/open" 'My App.app'
  wait_for report.args || fail "application did not start without --args"
  [[ ! -s report.args ]] || fail "arguments passed without --args"
  : >report.release
  wait_for report.done
}

case_open_failures() {
  export DEMO_REPORT=$PWD/report
  need make_app no-exec.app
  need chmod 644 no-exec.app/Contents/MacOS/Demo
  need make_app missing-exe.app
  need rm missing-exe.app/Contents/MacOS/Demo
  need make_app no-key.app
  need sed -i '/CFBundleExecutable/,+1d' no-key.app/Contents/Info.plist
  need make_app no-plist.app
  need rm no-plist.app/Contents/Info.plist
  need make_app good.app
  local -a cmd
  local line
  while IFS= read -r line; do
    eval "cmd=($line)"
    expect_status 1 "$TOOLS/open" "${cmd[@]}"
  done <<'EOF'
missing.app
no-exec.app --args x
missing-exe.app
no-key.app
no-plist.app
good.app extra
good.app -a Other
--args x
EOF
  sleep 0.3
  [[ ! -e report.args ]] || fail "an application was started by a failing open"
}

# For each switchable key: a command that does the work, and a check that
# tells whether the work was done. Run from a case folder that prepare_keys
# has filled.
prepare_keys() {
  need mkdir -p src
  need make_app src/Demo.app
  need "$TOOLS/codesign" --sign - --force --deep src/Demo.app 2>/dev/null
  need "$TOOLS/hdiutil" create -srcfolder src -volname V -ov -format UDZO base.dmg >/dev/null
  export DEMO_REPORT=$PWD/report
}

key_setup() {
  case $1 in
    hdiutil-detach)
      attach base.dmg || return 1
      printf '%s' "$mp" >mounted ;;
    open) rm -f report.* ;;
    *) rm -rf made.dmg copy; rm -f "$TMPDIR"/none ;;
  esac
}

key_run() {
  case $1 in
    hdiutil-create) "$TOOLS/hdiutil" create -srcfolder src -volname V -ov -format UDZO made.dmg ;;
    hdiutil-attach) "$TOOLS/hdiutil" attach -readonly -nobrowse -plist base.dmg ;;
    hdiutil-detach) "$TOOLS/hdiutil" detach "$(cat mounted)" ;;
    codesign-sign) rm -rf signed.app && cp -a src/Demo.app signed.app && rm -r signed.app/Contents/_CodeSignature &&
      "$TOOLS/codesign" --sign - --force --deep signed.app ;;
    codesign-verify) "$TOOLS/codesign" --verify --deep --strict src/Demo.app ;;
    ditto) "$TOOLS/ditto" src copy ;;
    lipo) "$TOOLS/lipo" -archs /bin/true ;;
    open) "$TOOLS/open" src/Demo.app --args hello ;;
  esac
}

# Whether the last key_run did its work.
key_worked() {
  case $1 in
    hdiutil-create) [[ -f made.dmg ]] ;;
    hdiutil-attach) [[ -n $(find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'emulated-volumes.*') ]] && grep -q mount-point out ;;
    hdiutil-detach) [[ ! -e $(cat mounted) ]] ;;
    codesign-sign) [[ -f signed.app/Contents/_CodeSignature/CodeResources ]] ;;
    codesign-verify) true ;;
    ditto) [[ -f copy/Demo.app/Contents/Info.plist ]] ;;
    lipo) [[ -s out ]] ;;
    open) wait_for report.args "${patience:-250}" ;;
  esac
}

key_cleanup() {
  local m
  for m in "$TMPDIR"/emulated-volumes.*/*; do
    [[ -d $m ]] && "$TOOLS/hdiutil" detach "$m" >/dev/null 2>&1
  done
  [[ $1 != open ]] || { : >report.release; wait_for report.done 100; }
  rm -f "$EMULATED_TOOLS_CONTROL/log"
  true
}

readonly KEYS='hdiutil-create hdiutil-attach hdiutil-detach codesign-sign codesign-verify ditto lipo open'

case_fault_injection() {
  prepare_keys
  local key mode ctl=$EMULATED_TOOLS_CONTROL
  for key in $KEYS; do
    for mode in once always; do
      local switch=$ctl/fail-$key
      [[ $mode == always ]] && switch=$switch-always
      need key_setup "$key"
      rm -f "$ctl/log"
      : >"$switch"
      local round
      for round in 1 2; do
        key_run "$key" >out 2>err
        local status=$?
        if [[ $mode == once && $round == 2 ]]; then
          (( status == 0 )) || fail "$key: run after the consumed fault failed: $(cat err)"
          key_worked "$key" || fail "$key: run after the consumed fault did no work"
        else
          (( status == 1 )) || fail "$key ($mode, run $round): status $status, expected 1"
          [[ $key == codesign-verify ]] || ! patience=15 key_worked "$key" || fail "$key ($mode, run $round): work done despite the fault"
          [[ $key != hdiutil-attach || ! -s out ]] || fail "$key: printed a plist despite the fault"
        fi
        if [[ $mode == once ]]; then
          [[ ! -e $switch ]] || fail "$key: one-time switch not consumed"
        else
          [[ -e $switch ]] || fail "$key: lasting switch was removed"
        fi
        # The run is logged even when it fails.
        [[ $(wc -l <"$ctl/log") == "$round" ]] || fail "$key: run $round not logged"
      done
      rm -f "$switch"
      key_cleanup "$key"
    done
  done
}

case_ditto_partial_copy() {
  need mkdir -p src/a src/b
  local f
  for f in 1 2 3 4 5 6 7; do printf '%s\n' "$f" >"src/a/f$f" || exit 1; done
  need ln -s a/f1 src/b/link
  local total=8
  local mode
  for mode in once always; do
    local switch=$EMULATED_TOOLS_CONTROL/fail-ditto-partial
    [[ $mode == always ]] && switch=$switch-always
    : >"$switch"
    rm -rf dst
    expect_status 1 "$TOOLS/ditto" src dst
    local copied
    copied=$(find dst \( -type f -o -type l \) 2>/dev/null | wc -l)
    (( copied >= 1 && copied < total )) || fail "$mode: $copied of $total entries copied, expected part of them"
    (( copied >= total / 2 - 1 && copied <= total / 2 + 1 )) || fail "$mode: $copied of $total is not about half"
    # What was copied is complete and correct.
    local p
    while IFS= read -r p; do
      if [[ -L dst/$p ]]; then
        [[ $(readlink "dst/$p") == "$(readlink "src/$p")" ]] || fail "$mode: link $p differs"
      else
        [[ $(cat "dst/$p") == "$(cat "src/$p")" ]] || fail "$mode: file $p differs"
      fi
    done < <(cd dst && find . \( -type f -o -type l \) -printf '%P\n')
    rm -rf dst
    if [[ $mode == once ]]; then
      [[ ! -e $switch ]] || fail "one-time partial switch not consumed"
      expect_status 0 "$TOOLS/ditto" src dst
      [[ $(tree_listing dst) == "$(tree_listing src)" ]] || fail "copy after the consumed fault is incomplete"
    else
      expect_status 1 "$TOOLS/ditto" src dst
      [[ -e $switch ]] || fail "lasting partial switch was removed"
      rm -f "$switch"
    fi
  done
  # A single file is still copied before the failure.
  need mkdir one
  printf 'x' >one/only || exit 1
  : >"$EMULATED_TOOLS_CONTROL/fail-ditto-partial"
  expect_status 1 "$TOOLS/ditto" one one-copy
  [[ -f one-copy/only ]] || fail "partial copy of a single file copied nothing"
}

case_blocking() {
  prepare_keys
  local key ctl=$EMULATED_TOOLS_CONTROL
  for key in $KEYS; do
    need key_setup "$key"
    rm -f "$ctl/blocked-$key"
    : >"$ctl/block-$key"
    key_run "$key" >out 2>err &
    local pid=$!
    if ! wait_for "$ctl/blocked-$key"; then
      fail "$key: never reported being blocked"
      rm -f "$ctl/block-$key"
      wait "$pid"
      key_cleanup "$key"
      continue
    fi
    sleep 0.1
    kill -0 "$pid" 2>/dev/null || fail "$key: did not wait while blocked"
    [[ $key == codesign-verify || $key == lipo ]] || ! patience=15 key_worked "$key" || fail "$key: worked while blocked"
    rm -f "$ctl/block-$key"
    wait "$pid"
    local status=$?
    (( status == 0 )) || fail "$key: status $status after release: $(cat err)"
    key_worked "$key" || fail "$key: did no work after release"
    [[ ! -e $ctl/blocked-$key ]] || fail "$key: blocked-$key left behind"
    key_cleanup "$key"
  done

  # A blocked run that is then made to fail: the fault applies after release.
  rm -f "$ctl/blocked-ditto"
  : >"$ctl/block-ditto"
  "$TOOLS/ditto" src copy >out 2>err &
  local pid=$!
  wait_for "$ctl/blocked-ditto" || fail "ditto never reported being blocked"
  : >"$ctl/fail-ditto"
  rm -f "$ctl/block-ditto"
  wait "$pid"
  (( $? == 1 )) || fail "fault set while blocked was not applied"
  [[ ! -e copy ]] || fail "failed ditto copied anyway"

  # Killing a blocked tool leaves its work undone (the installer's crash tests).
  rm -f "$ctl/blocked-ditto"
  : >"$ctl/block-ditto"
  "$TOOLS/ditto" src copy >out 2>err &
  pid=$!
  wait_for "$ctl/blocked-ditto" || fail "ditto never reported being blocked"
  kill "$pid"
  # Released before the wait: a tool the signal missed must not hang the test.
  rm -f "$ctl/block-ditto"
  wait "$pid" 2>/dev/null
  [[ ! -e copy ]] || fail "killed ditto copied anyway"
}

case_control_log() {
  need mkdir src
  printf 'x\n' >src/f || exit 1
  local ctl=$EMULATED_TOOLS_CONTROL
  "$TOOLS/lipo" -archs /bin/true >/dev/null 2>&1
  "$TOOLS/ditto" src 'dst with  spaces' 2>/dev/null
  "$TOOLS/hdiutil" bogus --x 2>/dev/null
  "$TOOLS/codesign" --verify --deep --strict '' 2>/dev/null
  "$TOOLS/open" 2>/dev/null
  local want
  want=$(printf '%s\n' 'lipo -archs /bin/true' 'ditto src dst with  spaces' 'hdiutil bogus --x' \
    'codesign --verify --deep --strict ' 'open')
  [[ $(cat "$ctl/log") == "$want" ]] || fail "log differs:"$'\n'"$(diff <(echo "$want") "$ctl/log")"

  # Concurrent runs each leave exactly one whole line.
  rm -f "$ctl/log"
  local i
  for i in $(seq 1 30); do
    "$TOOLS/lipo" -archs "/nonexistent/$(printf 'p%.0s' $(seq 1 200))/$i" 2>/dev/null &
  done
  wait
  [[ $(wc -l <"$ctl/log") == 30 ]] || fail "concurrent runs did not leave 30 lines"
  [[ $(grep -cE '^lipo -archs /nonexistent/p{200}/[0-9]+$' "$ctl/log") == 30 ]] || fail "concurrent log lines interleaved"

  # Without a control folder nothing is logged; a control path that is not a
  # folder is a mistake that must not pass unnoticed.
  rm -f "$ctl/log"
  (unset EMULATED_TOOLS_CONTROL; "$TOOLS/lipo" -archs /bin/true >/dev/null) || fail "lipo failed without control"
  (EMULATED_TOOLS_CONTROL='' "$TOOLS/lipo" -archs /bin/true >/dev/null) || fail "lipo failed with an empty control"
  [[ ! -e $ctl/log ]] || fail "logged without a control folder"
  EMULATED_TOOLS_CONTROL=$PWD/no-such-folder expect_status 1 "$TOOLS/lipo" -archs /bin/true
  [[ ! -e no-such-folder ]] || fail "control folder was created"
}

case_tool_files() {
  local t
  for t in hdiutil lipo codesign ditto open; do
    [[ -f $TOOLS/$t && -x $TOOLS/$t ]] || fail "$t is not an executable file"
    [[ $(head -n 1 "$TOOLS/$t") == '#!/usr/bin/env bash' ]] || fail "$t: unexpected interpreter line"
    # Usage errors: status 1, a message on stderr and nothing on stdout.
    expect_status 1 "$TOOLS/$t" --no-such-option
    [[ ! -s out && -s err ]] || fail "$t: usage error output"
  done
}

# ----------------------------------------------------------------- runner

cleanup_case_dir() {
  local dir=$1
  [[ -n $dir && -d $dir ]] || return 0
  # Release anything still blocked so it cannot wait forever.
  rm -f "$dir"/control/block-* 2>/dev/null
  local p
  while IFS= read -r p; do
    [[ $p == "$dir"/* ]] && umount "$p" 2>/dev/null
  done < <(mountinfo_points | sort -r)
  chmod -R u+w "$dir" 2>/dev/null
  rm -rf "$dir"
}

trap 'cleanup_case_dir "$case_dir"' EXIT
trap 'exit 130' INT TERM

passed=0
failed=()
for fn in $(declare -F | awk '$3 ~ /^case_/ { print $3 }'); do
  name=${fn#case_}
  [[ -z $PATTERN || $name == *$PATTERN* ]] || continue
  case_dir=$(mktemp -d "${TMPDIR:-/tmp}/emulated-tools-test.XXXXXX") || exit 2
  case_dir=$(realpath -e "$case_dir")
  mkdir "$case_dir/tmp" "$case_dir/control" "$case_dir/work"
  (
    cd "$case_dir/work" || exit 1
    export TMPDIR=$case_dir/tmp
    export EMULATED_TOOLS_CONTROL=$case_dir/control
    case_failed=0
    "$fn"
    exit "$case_failed"
  )
  if (( $? == 0 )); then
    passed=$((passed + 1))
    printf 'ok   %s\n' "$name"
  else
    failed+=("$name")
    printf 'FAIL %s\n' "$name"
  fi
  cleanup_case_dir "$case_dir"
  case_dir=''
done

printf '%d passed, %d failed\n' "$passed" "${#failed[@]}"
if (( ${#failed[@]} )); then
  printf 'failed: %s\n' "${failed[*]}"
  exit 1
fi
(( passed > 0 )) || { echo 'no case matched' >&2; exit 1; }
