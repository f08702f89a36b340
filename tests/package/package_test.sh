#!/usr/bin/env bash
# Builds the Debian package from the build tree, checks what it holds and
# what it depends on, unpacks it into a temporary root, and runs the unpacked
# host with the unpacked configuration (its paths moved into that root)
# against the example site: --check, then a page and one of its pictures.
# The unit is checked with systemd-analyze where that is available.
#   package_test.sh BUILD_DIR SOURCE_DIR     exit 77: skipped
set -euo pipefail
build=$1 source=$2
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing (apt-get install dpkg)"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (apt-get install dpkg-dev)"

work=$(mktemp -d)
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/nimbuswatch_*_amd64.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { ls "$work/out"; fail "no nimbuswatch_<version>_amd64.deb"; }

info=$(dpkg-deb -I "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | sed -e 's/^ *//' -e 's/ *(.*//')
for package in fonts-liberation libc6 libgd3 libfreetype6 libssl3 libstdc++6; do
  grep -qxF "$package" <<<"$names" || fail "Depends lacks $package: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = nimbuswatch ] || fail "package name"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/nimbuswatch/nimbuswatch.reg \
  || fail "the configuration is not a conffile"

contents=$(dpkg-deb -c "$deb")
for path in ./usr/sbin/nimbuswatch-host ./usr/lib/nimbuswatch/libnimbuswatch.so \
            ./etc/nimbuswatch/nimbuswatch.reg ./lib/systemd/system/nimbuswatch.service \
            ./etc/logrotate.d/nimbuswatch ./usr/share/doc/nimbuswatch/README.md \
            "./usr/share/nimbuswatch/fonts/times.ttf -> /usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf"; do
  grep -qF -- " $path" <<<"$contents" || fail "the package lacks $path"
done
grep -E ' \./usr/(include|lib/.*\.a$)' <<<"$contents" && fail "the package holds build-only files"

root=$work/root
dpkg-deb -x "$deb" "$root"
grep -q copytruncate "$root/etc/logrotate.d/nimbuswatch" || fail "logrotate does not copy and truncate"
# The directories systemd makes for the service (StateDirectory=, LogsDirectory=).
mkdir -p "$root/var/lib/nimbuswatch/spool" "$root/var/lib/nimbuswatch/images" "$root/var/log/nimbuswatch"
sed -e "s#\"/var/#\"$root/var/#" -e "s#\"/usr/#\"$root/usr/#" "$root/etc/nimbuswatch/nimbuswatch.reg" >"$work/test.reg"
grep -q "\"FontsDir\"=\"$root/usr/share/nimbuswatch/fonts/\"" "$work/test.reg" || fail "FontsDir not rewritten"

export TMPDIR=$work
"$root/usr/sbin/nimbuswatch-host" --check --config "$work/test.reg" >"$work/check.out" 2>&1 \
  || { cat "$work/check.out"; fail "--check refuses the installed configuration"; }
grep -q "^fallback: times.ttf: liberation serif Regular" "$work/check.out" || { cat "$work/check.out"; fail "--check output"; }

"$root/usr/sbin/nimbuswatch-host" --root "$source/examples/site" --config "$work/test.reg" \
  --listen 127.0.0.1:0 --threads 2 >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/host.out" && break
  kill -0 "$host_pid" 2>/dev/null || { cat "$work/host.err"; fail "the unpacked host did not start"; }
  sleep 0.1
done
url=$(grep -o 'http://127.0.0.1:[0-9]*/' "$work/host.out") || { cat "$work/host.err"; fail "no listening line"; }
page=$(curl -sS --max-time 20 "${url}index.html")
[ -n "$page" ] || fail "no page"
grep -q "<textimage" <<<"$page" && fail "the page was not rewritten"
picture=$(grep -o 'src="/textimages/[0-9a-f]*\.gif"' <<<"$page" | head -1 | sed 's/src="\/\(.*\)"/\1/')
[ -n "$picture" ] || fail "the page holds no picture"
curl -sS --max-time 20 -o "$work/picture.gif" "$url$picture"
[ "$(head -c 6 "$work/picture.gif")" = GIF89a ] || [ "$(head -c 6 "$work/picture.gif")" = GIF87a ] || fail "$picture is no GIF"
[ -s "$root/var/lib/nimbuswatch/images/$(basename "$picture")" ] || fail "the picture is not in ImagesDir"
grep -q . "$root/var/log/nimbuswatch/nimbuswatch.log" || fail "nothing logged"

if command -v systemd-analyze >/dev/null; then
  # The unit names /usr/sbin/nimbuswatch-host, which need not be installed
  # here: verify a copy that names the unpacked one.
  mkdir -p "$work/unit"
  sed "s#/usr/sbin/nimbuswatch-host#$root/usr/sbin/nimbuswatch-host#" \
    "$root/lib/systemd/system/nimbuswatch.service" >"$work/unit/nimbuswatch.service"
  systemd-analyze verify --man=no "$work/unit/nimbuswatch.service" >"$work/verify.out" 2>&1 \
    || { cat "$work/verify.out"; fail "systemd-analyze verify"; }
  grep -v "^$" "$work/verify.out" && fail "systemd-analyze reports problems" || true
else
  echo "systemd-analyze is missing: the unit is not verified"
fi
echo "PASSED: $(basename "$deb")"
