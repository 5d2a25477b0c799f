#!/usr/bin/env bash
# velmora_apt_install against a stand-in apt-get on PATH: a mirror mid-sync that settles, one
# that stays broken while the packages still install, one where they install only from the
# release's own suite (an amd64 half taken back to its i386 half's version), and one where the
# install fails too.
#   apt_install_test.sh PROJECT_ROOT
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
index="http://mirror.invalid/dists/bookworm-security/main/binary-i386/Packages.xz"
# The stand-in fails `update` its first $UPDATE_FAILS times, as a mirror mid-sync does, and
# `install` when INSTALL_FAILS=1, or when INSTALL_FAILS=suite unless it is from the release's
# suite (-t) with libgst pinned; it counts its updates in $WORK/updates.
cat >"$work/bin/apt-get" <<STANDIN
#!/usr/bin/env bash
if [ "\$1" = update ]; then
  count=\$((\$(cat "\$WORK/updates" 2>/dev/null || echo 0) + 1))
  echo "\$count" >"\$WORK/updates"
  if [ "\$count" -le "\$UPDATE_FAILS" ]; then
    echo "Err:6 http://mirror.invalid/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
fi
[ "\$INSTALL_FAILS" = 1 ] && { echo "E: Unable to correct problems" >&2; exit 100; }
if [ "\$INSTALL_FAILS" = suite ]; then
  [[ " \$* " == *" -t "* ]] || { echo "E: Unable to correct problems" >&2; exit 100; }
  if [[ " \$* " != *" libgst:i386=1.0 "* ]]; then
    echo " libwine:i386 : Depends: libgst:i386 (>= 1.0.0) but it is not going to be installed"
    exit 100
  fi
fi
echo "installed \${*: -1}"
STANDIN
printf '#!/bin/sh\necho "  Candidate: 1.0"\n' >"$work/bin/apt-cache"
chmod +x "$work/bin/apt-get" "$work/bin/apt-cache"

# update failures | install fails | exit status | updates made | what must be said
rows=(
  "0|0|0|1|installed wine32:i386"
  "2|0|0|3|installed wine32:i386"
  "9|0|0|3|going on to install with the indexes that did come"
  "9|suite|0|3|taking both halves at the i386 version: libgst=1.0 libgst:i386=1.0"
  "9|1|1|3|these indexes did not come: $index"
  "9|1|1|3|the mirror may be mid-sync"
)
failures=0
for row in "${rows[@]}"; do
  IFS='|' read -r update_fails install_fails expected_status expected_updates expected <<<"$row"
  rm -f "$work/updates"
  output=$(PATH="$work/bin:$PATH" WORK="$work" UPDATE_FAILS=$update_fails \
           INSTALL_FAILS=$install_fails VELMORA_APT_PAUSE=0 \
           bash -c 'source "$1/scripts/common.sh" && velmora_apt_install -- wine32:i386' _ \
           "$root" 2>&1)
  status=$?
  updates=$(cat "$work/updates")
  if [ "$status" != "$expected_status" ] || [ "$updates" != "$expected_updates" ] ||
     [[ "$output" != *"$expected"* ]]; then
    echo "FAIL: update fails $update_fails, install fails $install_fails: status $status," \
         "$updates update(s), printed: $output; expected: status $expected_status," \
         "$expected_updates update(s), $expected"
    failures=$((failures + 1))
  fi
done
echo "$((${#rows[@]} - failures)) passed, $failures failed"
[ $failures -eq 0 ]
