# Debian packages (make deb): two, so that a server without a desktop gets
# the supervisor without the toolkit.
#   procwardd: procwardd, the metrics module, the systemd unit and the
#              Prometheus examples; no GTK or wx.
#   procward:  all of procwardd and the window, its desktop entry and icon;
#              it replaces procwardd, so either one may be installed.
include(GNUInstallDirs)

foreach(component daemon desktop)
  install(TARGETS procwardd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(TARGETS procward_metrics LIBRARY DESTINATION lib/procward COMPONENT ${component})
  install(FILES packaging/procwardd.service DESTINATION lib/systemd/system COMPONENT ${component})
  install(FILES packaging/prometheus/procward-scrape.yml packaging/prometheus/procward-alerts.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/procward/prometheus COMPONENT ${component})
endforeach()
install(TARGETS procward RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
install(FILES packaging/procward.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
install(FILES ui/res/procward_256.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps
  RENAME procward.png COMPONENT desktop)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Procward developers <procward@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Supervisor that keeps server processes running")
set(CPACK_COMPONENTS_ALL daemon desktop)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Loaded at run time (libsystemd under systemd, libcurl for the first
# webhook or HTTP health rule, OpenSSL for the first mail over TLS or signed
# webhook), so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "libsystemd0, libcurl4, libssl3")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "libsystemd0, libcurl4, libssl3")
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME procwardd)
set(CPACK_DEBIAN_DAEMON_FILE_NAME procwardd_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "Supervisor that keeps server processes running, without a window
 procwardd starts the servers listed in serverinfo.json, restarts them when
 they end, mails alerts, answers procwardd ctl and serves Prometheus metrics.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME procward)
set(CPACK_DEBIAN_DESKTOP_FILE_NAME procward_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "Supervisor that keeps server processes running, with its window
 The window and tray icon of Procward, and procwardd for machines run by
 systemd.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_CONFLICTS procwardd)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_REPLACES procwardd)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_PROVIDES procwardd)
include(CPack)

add_custom_target(deb COMMAND ${CMAKE_CPACK_COMMAND} -G DEB -C $<CONFIG>
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} COMMENT "Debian packages" VERBATIM)
add_dependencies(deb procward procwardd procward_metrics)
