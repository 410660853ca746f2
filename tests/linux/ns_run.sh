#!/bin/sh
# ns_run.sh SYSFS LOCKDIR COMMAND...: runs COMMAND in a private mount namespace where the
# directory SYSFS stands over /sys and LOCKDIR over /run/lock, so that the real
# kdx4610-update walks a sysfs tree of the test's making and takes a lock no other test
# shares. As root (CI) the namespace is a plain mount namespace; elsewhere a user
# namespace maps the caller to root in it. The command keeps this script's process ID
# (unshare and sh exec it), so that a test can signal it.
set -eu
map="--map-root-user"
[ "$(id -u)" -ne 0 ] || map=""
# shellcheck disable=SC2086
exec unshare --mount --propagation private $map sh -c '
    mount --bind "$1" /sys && mount --bind "$2" /run/lock && shift 2 && exec "$@"' ns_run "$@"
