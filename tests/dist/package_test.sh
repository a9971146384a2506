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
# ... and so do the base system's programs that the units call (ExecReload's kill).
mkdir -p "$root/bin"
cp -an "$(readlink -f /bin/kill)" "$root/bin/kill"
if ! out=$(systemd-analyze verify --man=no --root="$root" \
        "$root/usr/lib/systemd/system/zet.service" "$root/usr/lib/systemd/system/orbis-scand.service" \
        "$root/usr/lib/systemd/system/zet-metrics.service" "$root/usr/lib/systemd/system/zet-metrics.timer" \
        "$root/usr/lib/systemd/system/zet-sweep.service" "$root/usr/lib/systemd/system/zet-sweep.timer" 2>&1) \
        || [[ -n $out ]]; then
    fail "systemd-analyze verify: $out"
fi
# Every option that makes systemd set up a mount namespace for the service.
if grep -E '^(PrivateTmp|ProtectSystem|ProtectHome|ReadWritePaths|ReadOnlyPaths|InaccessiblePaths|PrivateMounts|TemporaryFileSystem|PrivateDevices|ProtectKernelTunables|ProtectKernelModules|ProtectKernelLogs|ProtectControlGroups|ProtectProc|ProcSubset|PrivateNetwork|PrivateIPC|PrivateUsers|BindPaths|BindReadOnlyPaths|RootDirectory|RootImage|MountFlags|DynamicUser|(Runtime|State|Cache|Logs)Directory)=' \
        "$src/dist/zet.service"; then
    fail "zet.service sets up a private mount namespace: its marks would see nothing"
fi
# Exposure ratings (tenths) the sandboxing must keep: zet at most 5.0, orbis-scand at most 3.0.
for limit in zet:50 orbis-scand:30; do
    unit=${limit%:*}
    grep -qx 'StartLimitBurst=5' "$src/dist/$unit.service" || fail "$unit.service has no start limit"
    if ! systemd-analyze security --offline=yes --threshold="${limit#*:}" "$src/dist/$unit.service" >/dev/null 2>&1; then
        fail "$unit.service is rated $(systemd-analyze security --offline=yes "$src/dist/$unit.service" 2>&1 | tail -n 1)"
    fi
done
grep -qx 'RestartPreventExitStatus=13' "$src/dist/zet.service" || fail "zet.service restarts a configuration error"
# The sweep runs at idle priority and only beside a running zet; postinst enables neither it nor its timer.
for line in Requisite=zet.service Nice=19 CPUSchedulingPolicy=idle IOSchedulingClass=idle; do
    grep -qx "$line" "$src/dist/zet-sweep.service" || fail "zet-sweep.service lacks $line"
done
if grep -q 'zet-sweep' "$src/dist/debian/postinst"; then
    fail "postinst enables the sweep: it is the administrator's choice"
fi
for script in postinst prerm postrm; do
    sh -n "$src/dist/debian/$script" || fail "debian/$script does not parse"
done

for page in "$root"/usr/share/man/man*/*; do
    [[ $page == *.gz ]] && gzip -t "$page" || fail "man page $(basename "$page") is not compressed"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null || true)
    [[ -z $warnings ]] || fail "man page $(basename "$page"): $warnings"
done

"$root/usr/sbin/zet" -V | grep -qx '4.7.0' || fail "installed zet -V"
"$root/usr/sbin/zetctl" --version | grep -qx 'zetctl 4.7.0' || fail "installed zetctl --version"
gzip -dc "$root/usr/share/doc/zet/changelog.gz" | head -1 | grep -q '^zet (4\.7\.0) ' \
    || fail "changelog.gz does not start with this version"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/usr/share/doc/zet/copyright" || fail "copyright is not machine-readable"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
info=$(dpkg-deb -I "$deb")
for dep in libclamav libsystemd0 libc6; do
    grep -q "^ Depends:.*$dep" <<<"$info" || fail "package does not depend on $dep"
done
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
[[ $conffiles == $'/etc/orbis/zet.conf\n/etc/logrotate.d/zet' ]] || fail "conffiles: $conffiles"
contents=$(dpkg-deb -c "$deb")
# The directories that tmpfiles creates have it as their one source of owner and mode: the package
# carries none of them, and the modes are the ones documented.
while read -r type path mode user group _; do
    [[ $type == d ]] || continue
    if grep -q " \.$path/\?\$" <<<"$contents"; then
        fail "$path is both in the package and in the tmpfiles entry"
    fi
    printf '%s %s %s %s\n' "$path" "$mode" "$user" "$group"
done < <(grep -v '^#' "$src/dist/tmpfiles.conf") >"$work/tmpfiles"
expected=$'/run/orbis 0755 root root\n/var/lib/orbis 0755 root root\n/var/lib/orbis/vault 0700 root root\n/var/log/orbis 0750 root adm'
[[ $(cat "$work/tmpfiles") == "$expected" ]] || fail "tmpfiles entries: $(cat "$work/tmpfiles")"
for bin in zet orbis-scand; do
    grep -q "^-rwxr-xr-x root/root .* ./usr/sbin/$bin\$" <<<"$contents" || fail "$bin is not 0755 in the package"
done
if grep -v -E ' \./(etc|usr|var)/' <<<"$contents"; then
    fail "package writes outside /etc, /usr and /var"
fi

[[ $failures -eq 0 ]] && echo "package checks passed"
exit $((failures > 0))
