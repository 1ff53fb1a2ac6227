# Where everything goes on `cmake --install` (DESTDIR and the prefix are
# honoured) and in the Debian package.
#
# Programs go into sbin: all three are for the administrator, and the
# checker and the control client belong next to the daemon they serve.  Files under
# /etc use GNUInstallDirs' CMAKE_INSTALL_FULL_SYSCONFDIR, which is /etc
# for the prefixes / and /usr and <prefix>/etc otherwise; like every
# GNUInstallDirs path it is decided when the build is configured, so a
# device build is configured with -DCMAKE_INSTALL_PREFIX=/usr.
include(GNUInstallDirs)

set(VORN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the prefix")
set(VORN_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vorn/vorn_restart")
set(VORN_INIT_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d")
set(VORN_DEFAULTS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/vorn_restart")
set(VORN_UNIT_PATH "${CMAKE_INSTALL_PREFIX}/${VORN_SYSTEMD_UNIT_DIR}/vorn_restart.service")

# Init files and manual pages name the installed paths.
set(vorn_generated "${PROJECT_BINARY_DIR}/contrib")
configure_file(contrib/systemd/vorn_restart.service.in "${vorn_generated}/vorn_restart.service" @ONLY)
configure_file(contrib/init.d/vorn_restart.in "${vorn_generated}/vorn_restart.init" @ONLY)

# Manual pages are installed compressed, as Debian wants them; the plain
# pages stay in the build tree for the rendering test.
set(vorn_man_pages)
foreach(page vorn_restart.8 vorn_restart_check.8 vorn_restart_ctl.8)
  configure_file(man/${page}.in "${PROJECT_BINARY_DIR}/man/${page}" @ONLY)
  add_custom_command(
    OUTPUT "${PROJECT_BINARY_DIR}/man/${page}.gz"
    COMMAND gzip -9 -n -c "${PROJECT_BINARY_DIR}/man/${page}" > "${PROJECT_BINARY_DIR}/man/${page}.gz"
    DEPENDS "${PROJECT_BINARY_DIR}/man/${page}"
    COMMENT "Compressing ${page}")
  list(APPEND vorn_man_pages "${PROJECT_BINARY_DIR}/man/${page}.gz")
endforeach()
add_custom_target(vorn_man ALL DEPENDS ${vorn_man_pages})

install(TARGETS vorn_restart vorn_restart_check vorn_restart_ctl RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES ${vorn_man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES contrib/vorn_restart.conf.example DESTINATION "${VORN_CONFIG_DIR}")
install(PROGRAMS "${vorn_generated}/vorn_restart.init" DESTINATION "${VORN_INIT_DIR}"
        RENAME vorn_restart)
install(FILES "${vorn_generated}/vorn_restart.service" DESTINATION "${VORN_SYSTEMD_UNIT_DIR}")
get_filename_component(vorn_defaults_dir "${VORN_DEFAULTS_FILE}" DIRECTORY)
install(FILES contrib/default/vorn_restart DESTINATION "${vorn_defaults_dir}")
# Alert rules for the metrics file, for a Prometheus server to load.
install(FILES contrib/prometheus/vorn_restart.rules.yml
        DESTINATION "${CMAKE_INSTALL_DATADIR}/vorn-restart/prometheus")
