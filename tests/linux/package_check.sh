#!/bin/sh
# package_check.sh BUILD_DIR: builds the Debian package with CPack and checks it: its
# name, the files it installs (and that it brings no udev rule), and lintian, which must
# report no error. lintian's output is left in BUILD_DIR/lintian.txt.
set -eu
cd "$1"
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=kdx4610-update_1.58-1_amd64.deb
test -f "$deb" || { echo "no $deb"; exit 1; }
dpkg-deb -c "$deb" | awk '{print $6}' >package-files.txt
for want in ./usr/sbin/kdx4610-update ./usr/share/man/man8/kdx4610-update.8.gz \
            ./usr/share/doc/kdx4610-update/copyright ./usr/share/doc/kdx4610-update/README.md \
            ./usr/share/doc/kdx4610-update/changelog.Debian.gz; do
    grep -qx "$want" package-files.txt || { echo "missing $want"; exit 1; }
done
! grep -q 'udev' package-files.txt || { echo "the package brings a udev rule"; exit 1; }
lintian "$deb" >lintian.txt 2>&1 || true
cat lintian.txt
! grep -q '^E: ' lintian.txt || { echo "lintian reports errors"; exit 1; }
