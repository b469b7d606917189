#!/usr/bin/env bash
# Builds the Debian package kestrove_<version>_<arch>.deb into build-package/, without the
# tests, installing what the build needs first (as root, or through sudo). Its last line
# of output is the package's path; everything else goes to standard error.
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

# Debian's flags for its own packages, with every hardening feature: fortified functions,
# stack protection, a read-only relocation table bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build build-package -j "$(nproc)"
rm -f build-package/kestrove_*.deb
(cd build-package && cpack -G DEB)
deb=$(ls "$PWD"/build-package/kestrove_"$version"_*.deb)
echo "$deb" >&3
