# Sourced by scripts/examples.sh and scripts/packages.sh: configures and
# builds build/pkg, the release build that is installed and packaged
# (prefix /usr, no tests or benchmarks, Debian's hardening flags from
# dpkg-buildflags, so lintian finds none missing). Re-running rebuilds only
# what changed.
nb_build_pkg() {
  local cppflags cxxflags ldflags
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  cxxflags=$(dpkg-buildflags --get CXXFLAGS)
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  echo "=== package build (build/pkg)"
  cmake -S . -B build/pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DNB_PACKAGE_LAYOUT=ON \
    -DNB_BUILD_TESTS=OFF -DNB_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
  ninja -j "$(nproc)" -C build/pkg
}
