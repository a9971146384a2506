#!/usr/bin/env bash
# Installs the build tree into a scratch root and builds the .deb from it, then checks what an
# administrator would get: the file list and modes, units that verify, man pages that render cleanly,
# the package's dependencies and conffiles.
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d /tmp/zet-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

root=$work/root
DESTDIR=$root cmake --install "$build" >/dev/null
(cd "$root" && find . -mindepth 1 \( -type f -o -type d -empty \) -printf '%m %p\n' | sort) >"$work/installed"
# The database files are the scan service's business; only their directory is listed.
grep -v '^644 ./usr/share/orbis/db/' "$work/installed" >"$work/installed.cmp" || true
if ! diff -u "$src/tests/dist/install-manifest.txt" "$work/installed.cmp"; then
    fail "installed files differ from tests/dist/install-manifest.txt"
fi
ls "$root"/usr/share/orbis/db/* >/dev/null 2>&1 || fail "no scan database installed"

# The standard targets come from the host, so that verify can resolve the units' dependencies.
mkdir -p "$root/usr/lib/systemd/system"
cp -an /lib/systemd/system/. "$root/usr/lib/systemd/system/"
if ! out=$(systemd-analyze verify --man=no --root="$root" \
        "$root/usr/lib/systemd/system/zet.service" "$root/usr/lib/systemd/system/orbis-scand.service" \
        "$root/usr/lib/systemd/system/zet-metrics.service" "$root/usr/lib/systemd/system/zet-metrics.timer" 2>&1) \
        || [[ -n $out ]]; then
    fail "systemd-analyze verify: $out"
fi
if grep -E '^(PrivateTmp|ProtectSystem|ProtectHome|ReadWritePaths|PrivateMounts|TemporaryFileSystem)=' \
        "$src/dist/zet.service"; then
    fail "zet.service sets up a private mount namespace: its marks would see nothing"
fi

for page in "$root"/usr/share/man/man*/*; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null || true)
    [[ -z $warnings ]] || fail "man page $(basename "$page"): $warnings"
done

"$root/usr/sbin/zet" -V | grep -qx '4.7.0' || fail "installed zet -V"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
info=$(dpkg-deb -I "$deb")
for dep in libclamav libsystemd0 libc6; do
    grep -q "^ Depends:.*$dep" <<<"$info" || fail "package does not depend on $dep"
done
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
[[ $conffiles == $'/etc/orbis/zet.conf\n/etc/logrotate.d/zet' ]] || fail "conffiles: $conffiles"
contents=$(dpkg-deb -c "$deb")
grep -q '^drwx------ root/root .* ./var/lib/orbis/vault/$' <<<"$contents" || fail "vault is not 0700 in the package"
for bin in zet orbis-scand; do
    grep -q "^-rwxr-xr-x root/root .* ./usr/sbin/$bin\$" <<<"$contents" || fail "$bin is not 0755 in the package"
done
if grep -v -E ' \./(etc|usr|var)/' <<<"$contents"; then
    fail "package writes outside /etc, /usr and /var"
fi

[[ $failures -eq 0 ]] && echo "package checks passed"
exit $((failures > 0))
