# The Debian package, built by scripts/package.sh (cpack -G DEB) from a
# build configured with the prefix /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn-restart)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(VORN_PACKAGE_MAINTAINER "vorn developers <vorn@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${VORN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary line comes from the project's description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vorn_restart keeps a table of 16 task slots running, reads its JSON
configuration afresh at every turn, obeys the exit status of the updater
and holds tasks back while marker files exist under /tmp.
vorn_restart_check tells whether a configuration is usable and why a task
does not run; vorn_restart_ctl restarts, stops, starts or signals a task
and reloads the configuration.  The service is not enabled on installation.")
# The C and jansson libraries come from dpkg-shlibdeps; killall from psmisc.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "psmisc")
# Files under /etc are configuration files: an upgrade keeps local changes.
set(vorn_conffiles "${PROJECT_BINARY_DIR}/debian/conffiles")
file(WRITE "${vorn_conffiles}" "${VORN_DEFAULTS_FILE}\n${VORN_INIT_DIR}/vorn_restart\n${VORN_CONFIG_DIR}/vorn_restart.conf.example\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${vorn_conffiles}")
include(CPack)
