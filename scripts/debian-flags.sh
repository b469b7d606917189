# Debian's compiler and linker flags for its own packages, with every hardening feature
# (fortified functions, stack protection, a read-only relocation table bound at start), as
# cmake arguments in the array debian_flags. build.sh and package.sh both take them, so
# that the tests run the same program the package ships. Sourced, not run.
debian_flags=(
    -DCMAKE_CXX_FLAGS="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS) $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)"
    -DCMAKE_EXE_LINKER_FLAGS="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
)

# configure_package_build DIR: the package's own build configured in DIR, without the
# tests (package.sh builds it; CI only checks that it configures).
configure_package_build() {
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_BUILD_TESTS=OFF \
        "${debian_flags[@]}"
}
