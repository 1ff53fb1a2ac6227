#!/usr/bin/env bash
# Builds the Debian package build-package/vorn-restart_<version>_<arch>.deb:
# a release build configured for the prefix /usr (programs in /usr/sbin,
# configuration example and init script under /etc), packed by CPack.
# Install it with: apt-get install ./build-package/vorn-restart_*.deb
# (which also installs libjansson4 and psmisc, as dpkg -i would not)
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-shlibdeps works out the library dependencies; CPack's Debian
# generator runs file on every packed file.
scripts/deps.sh dpkg-dev file
rm -f build-package/*.deb
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DVORN_BUILD_TESTS=OFF > /dev/null
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB > /dev/null)
ls build-package/*.deb
