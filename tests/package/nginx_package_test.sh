#!/usr/bin/env bash
# Builds the Debian packages from the build tree, checks the nginx module's
# (libnginx-mod-http-nimbuswatch): Debian's layout for nginx modules, its
# dependencies on the nginx ABI and on the host's package, its maintainer
# scripts; then unpacks both packages into a temporary root and has
# Debian's nginx load the unpacked module, which finds the unpacked filter
# where the packages put it, and serve the example site through it.
#   nginx_package_test.sh BUILD_DIR SOURCE_DIR     exit 77: skipped
set -euo pipefail
build=$1 source=$2
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing (apt-get install dpkg)"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (apt-get install dpkg-dev)"
[ -x /usr/sbin/nginx ] || skip "nginx is missing (apt-get install nginx)"

work=$(mktemp -d)
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/libnginx-mod-http-nimbuswatch_*_amd64.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { ls "$work/out"; fail "no libnginx-mod-http-nimbuswatch_<version>_amd64.deb"; }
host_deb=$(ls "$work"/out/nimbuswatch_*_amd64.deb | head -1)

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
abi=$(dpkg-query -W -f='${Provides}' nginx | grep -o 'nginx-abi-[^ ,]*')
grep -qF "$abi" <<<"$depends" || fail "Depends lacks $abi"
grep -qE "(^|, )nimbuswatch \(= $(dpkg-deb -f "$host_deb" Version)\)" <<<"$depends" || fail "Depends lacks the host's package"
# Listed whole before grep looks: grep -q stopping early would fail the pipe.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in postinst prerm postrm; do
  grep -qx "./$script" <<<"$control" || fail "no $script"
done
postinst=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst)
grep -q "modules-enabled/50-mod-http-nimbuswatch.conf" <<<"$postinst" || fail "postinst does not enable the module"

contents=$(dpkg-deb -c "$deb")
for path in ./usr/lib/nginx/modules/ngx_http_nimbuswatch_module.so \
            ./usr/share/nginx/modules-available/mod-http-nimbuswatch.conf; do
  grep -qF -- " $path" <<<"$contents" || fail "the package lacks $path"
done

root=$work/root
dpkg-deb -x "$host_deb" "$root"
dpkg-deb -x "$deb" "$root"
grep -qx "load_module modules/ngx_http_nimbuswatch_module.so;" \
  "$root/usr/share/nginx/modules-available/mod-http-nimbuswatch.conf" || fail "the load_module line"
mkdir -p "$root/var/lib/nimbuswatch/spool" "$root/var/lib/nimbuswatch/images" "$root/var/log/nimbuswatch" "$work/nginx"
sed -e "s#\"/var/#\"$root/var/#" -e "s#\"/usr/#\"$root/usr/#" "$root/etc/nimbuswatch/nimbuswatch.reg" >"$work/test.reg"

# A loopback port nothing listens on.
port=$((20000 + RANDOM % 30000))
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((20000 + RANDOM % 30000)); done
cat >"$work/nginx/nginx.conf" <<CONF
load_module $root/usr/lib/nginx/modules/ngx_http_nimbuswatch_module.so;
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 64; }
http {
  include /etc/nginx/mime.types;
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  nimbuswatch_config $work/test.reg;
  server {
    listen 127.0.0.1:$port;
    root $source/examples/site;
    nimbuswatch on;
  }
}
CONF
export TMPDIR=$work
/usr/sbin/nginx -t -q -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" \
  || fail "nginx -t refuses the unpacked module with the installed settings"
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" 2>"$work/nginx.err" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  kill -0 "$nginx_pid" 2>/dev/null || { cat "$work/nginx.err" "$work/nginx/error.log"; fail "nginx did not start"; }
  sleep 0.1
done
page=$(curl -sS --max-time 20 "http://127.0.0.1:$port/index.html")
grep -q "<textimage" <<<"$page" && fail "the page was not rewritten"
picture=$(grep -o 'src="/textimages/[0-9a-f]*\.gif"' <<<"$page" | head -1 | sed 's/src="\/\(.*\)"/\1/')
[ -n "$picture" ] || fail "the page holds no picture"
curl -sS --max-time 20 -o "$work/picture.gif" "http://127.0.0.1:$port/$picture"
[ "$(head -c 4 "$work/picture.gif")" = GIF8 ] || fail "$picture is no GIF"
[ -s "$root/var/lib/nimbuswatch/images/$(basename "$picture")" ] || fail "the picture is not in ImagesDir"
grep -q "started" "$root/var/log/nimbuswatch/nimbuswatch.log" || fail "the filter's log"
echo "PASSED: $(basename "$deb")"
