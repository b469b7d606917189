#!/usr/bin/env bash
# Builds the Debian package kestrove_<version>_<arch>.deb into build-package/, without the
# tests, installing what the build needs first (as root, or through sudo). Its last line
# of output is the package's path; everything else goes to standard error.
#   scripts/package.sh           builds in build-package/
#   scripts/package.sh build     packages what scripts/build.sh built in build/ (the same
#                                flags, the same programs), building only what is out of date
set -euo pipefail
cd "$(dirname "$0")/.."
exec 3>&1 1>&2

scripts/install-deps.sh cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev \
    unixodbc-dev zlib1g-dev libminizip-dev libisal-dev dpkg-dev file

# One version, the project's: the changelog and the AppStream releases must name it first.
version=$(sed -n 's/^project(Kestrove VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
changelog=$(sed -n '1s/^kestrove (\([^)]*\)).*/\1/p' packaging/changelog)
release=$(grep -o -m 1 '<release version="[^"]*"' resources/example.drumlane.kestrove.metainfo.xml | cut -d'"' -f2)
if [ -z "$version" ] || [ "$changelog" != "$version" ] || [ "$release" != "$version" ]; then
    echo "package.sh: CMakeLists.txt says version '$version', packaging/changelog '$changelog'," \
        "the metainfo's newest release '$release': give each the same" >&2
    exit 1
fi

dir=${1:-build-package}
case "$dir" in
build-package)
    . scripts/debian-flags.sh
    configure_package_build build-package
    cmake --build build-package -j "$(nproc)"
    ;;
build) scripts/build.sh ;;
*)
    echo "usage: scripts/package.sh [build]" >&2
    exit 2
    ;;
esac
rm -f "$dir"/kestrove_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$PWD/$dir"/kestrove_"$version"_*.deb)
echo "$deb" >&3
