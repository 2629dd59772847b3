#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as a user gets it: built by CPack from the build folder,
# its Depends satisfiable here, installed with dpkg into a throw-away root,
# both programs and both manual pages working from there, the exporter's
# systemd unit sound and its capability enough for SCHED_FIFO as a user
# other than root, and removed without a trace.
#
# usage: bash package-test.sh <build-dir> <version>
# Exits 77 (a skip for CTest) where it cannot run: not root, or a tool missing.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: bash $0 <build-dir> <version>" >&2
    exit 2
fi
build=$1
version=$2

skip() {
    echo "SKIP: $*"
    exit 77
}
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
ok() {
    echo "ok   $*"
}

# dpkg --root still wants root to give the files their owners: the real one,
# not an ordinary user that a user namespace maps to 0 (as
# run-in-own-netns.sh may).
if [[ $(id -u) -ne 0 ]] || ! grep -qE '^ *0 +0 +4294967295' /proc/self/uid_map; then
    skip "installing with dpkg, even into a throw-away root, needs root"
fi
for tool in cpack:cmake dpkg-shlibdeps:dpkg-dev file:file man:man-db apt-get:apt setpriv:util-linux; do
    command -v "${tool%%:*}" >/dev/null || skip "${tool%%:*} is missing (Debian package ${tool#*:})"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The unprivileged user below must reach the installed programs.
chmod 755 "$work"

# The package, as `cpack -G DEB` makes it.
if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB"
    exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name "vantrel_${version}_*.deb" | head -n 1)
[[ -n $deb ]] || { fail "no vantrel_${version}_*.deb made"; exit 1; }
ok "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# Depends comes from the shared libraries the programs link, and names Qt's
# platform plugins, which libqt6gui6 only recommends.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
    grep -q "\b$library (>=" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -qE '(^|, )qt6-qpa-plugins(,|$| )' <<<"$depends" || fail "Depends lacks qt6-qpa-plugins: $depends"
ok "Depends: $depends"

# What it holds.
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for file in ./usr/bin/vantrel ./usr/bin/vantrel-cli \
    ./usr/share/applications/vantrel.desktop \
    ./usr/share/icons/hicolor/scalable/apps/vantrel.svg \
    ./usr/share/man/man1/vantrel.1.gz ./usr/share/man/man1/vantrel-cli.1.gz \
    ./usr/lib/systemd/system/vantrel-monitor@.service \
    ./etc/vantrel/monitor-default.conf \
    ./usr/share/doc/vantrel/copyright ./usr/share/doc/vantrel/README.md \
    ./usr/share/doc/vantrel/docs/cli.md ./usr/share/doc/vantrel/docs/monitoring.md; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done
[[ $(dpkg-deb -I "$deb" conffiles) == /etc/vantrel/monitor-default.conf ]] ||
    fail "monitor-default.conf is not a conffile"
ok "holds both programs, menu entry, icon, manual pages, unit, its configuration, the docs"

# On this machine apt would install it alone: every dependency is here.
plan=$(apt-get install --simulate --no-install-recommends "$deb" 2>&1 | grep '^Inst ' || true)
[[ $plan == "Inst vantrel "* && $(wc -l <<<"$plan") -eq 1 ]] ||
    fail "apt would install more than vantrel, or nothing: $plan"
ok "apt-get --simulate: $plan"

# Installed into a throw-away root: its own dpkg database, nothing else.
# That root holds none of the libraries, so dpkg is told to go on; the
# programs find them on this machine.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg -i"; exit 1; }
ok "installed into $root"

said=$("$root/usr/bin/vantrel-cli" --version)
[[ $said == "vantrel-cli $version" ]] || fail "vantrel-cli --version said: $said"
ok "vantrel-cli --version: $said"

export MANPATH=$root/usr/share/man
page=$(man -P cat vantrel-cli 2>/dev/null || true)
for text in "VANTREL-CLI(1)" "--fail-above" "--serve" "vantrel-monitor@.service"; do
    grep -qF -- "$text" <<<"$page" || fail "man vantrel-cli does not say $text"
done
page=$(man -P cat vantrel 2>/dev/null || true)
grep -qF "VANTREL(1)" <<<"$page" || fail "man vantrel shows no page"
ok "man vantrel-cli, man vantrel"

# Every document a manual page sends the reader to is installed.
named=$( (man -P cat vantrel-cli; man -P cat vantrel) 2>/dev/null |
    grep -o '/usr/share/doc/vantrel/[A-Za-z0-9_./-]*[A-Za-z0-9_/]' | sort -u)
[[ -n $named ]] || fail "the manual pages name no document"
for file in $named; do
    [[ -f $root$file ]] || fail "a manual page names $file, which is not installed"
done
ok "the manual pages' documents are installed: $(echo $named)"
unset MANPATH

# Every page and picture the installed documents link to is installed too,
# where the link says.
links=0
while IFS= read -r md; do
    while IFS= read -r target; do
        target=${target%%#*}
        [[ $target == *://* || ! $target =~ (\.md|\.png|\.svg|\.json|/)$ ]] && continue
        links=$((links + 1))
        [[ -e $(dirname "$md")/$target ]] || fail "${md#"$root"} links to $target, not installed"
    done < <(grep -o '](\([^)]*\))' "$md" | sed 's/^](\(.*\))$/\1/')
done < <(find "$root/usr/share/doc/vantrel" -name '*.md')
((links > 0)) || fail "the installed documents link to nothing"
ok "the installed documents' $links links to pages and pictures hold"

if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/vantrel.desktop" || fail "desktop file"
    ok "desktop-file-validate"
fi

# The unit as systemd reads it, pointed at the installed program (systemd
# would find it on its own path once the package is installed for real).
if command -v systemd-analyze >/dev/null; then
    unit=$work/vantrel-monitor@default.service
    sed "s|^ExecStart=vantrel-cli |ExecStart=$root/usr/bin/vantrel-cli |" \
        "$root/usr/lib/systemd/system/vantrel-monitor@.service" >"$unit"
    verdict=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze: $verdict"
    [[ -z $verdict ]] || fail "systemd-analyze verify says: $verdict"
    ok "systemd-analyze verify"
fi

# What the unit grants, as setpriv grants it: another user with CAP_SYS_NICE
# as an ambient capability gets SCHED_FIFO 99; without it, SCHED_OTHER.
# In the test's own network namespace, so the run's port is its own.
# What the run said on standard error goes to $said, for a failure to show.
said=$work/granted.err
granted() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" \
        "$root/usr/bin/vantrel-cli" -m 2 -p 1 -d 0.3 --json - 2>"$said" |
        grep -o '"policy": "[A-Z_]*"' | tail -n 1 || true # "asked" comes first, "worker" last
}
with=$(granted --inh-caps=+sys_nice --ambient-caps=+sys_nice)
[[ $with == '"policy": "SCHED_FIFO"' ]] || fail "as nobody with CAP_SYS_NICE: '$with'; it said: $(cat "$said")"
without=$(granted)
[[ $without == '"policy": "SCHED_OTHER"' ]] || fail "as nobody without it: '$without'; it said: $(cat "$said")"
ok "as nobody: $with with CAP_SYS_NICE, $without without"

# Removed (and purged, its configuration with it): nothing left but dpkg's
# own records.
dpkg --root="$root" --purge vantrel >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --purge"; }
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/lib" \
    -not -path "$root/var/lib/dpkg*")
[[ -z $left ]] || fail "left behind after purge: $left"
ok "purged: nothing left"

if [[ $failed -ne 0 ]]; then
    echo "package: FAILED" >&2
    exit 1
fi
echo "package: built, installed, used and removed"
