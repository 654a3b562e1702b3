# What `make install` (and so debian/rules, through dh_auto_install) puts
# where; debian/*.install split it into the two Debian packages:
#   procwardd: procwardd, the metrics module, the systemd unit, the
#              Prometheus examples and procwardd(8); no GTK or wx;
#   procward:  all of that and the window, its desktop entry, its icon and
#              procward(1); it replaces procwardd, so either one may be
#              installed.
include(GNUInstallDirs)

# Where the unit goes: below the prefix by default; debian/rules names the
# directory its debhelper looks in.
set(PROCWARD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Directory of the systemd unit (relative: below the installation prefix)")

install(TARGETS procwardd procward RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The programs look for the module beside them or in ../lib/procward.
install(TARGETS procward_metrics LIBRARY DESTINATION lib/procward)
install(TARGETS procward-output RUNTIME DESTINATION lib/procward)
install(FILES packaging/procwardd.service DESTINATION ${PROCWARD_SYSTEMD_UNIT_DIR})
install(FILES packaging/prometheus/procward-scrape.yml packaging/prometheus/procward-alerts.yml
  packaging/prometheus/procward-alerts.test.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/procward/prometheus)
# What a team needs to run a fleet: Alertmanager's example, the dashboard
# and the Ansible collection.
install(DIRECTORY packaging/alertmanager packaging/grafana packaging/ansible
  DESTINATION ${CMAKE_INSTALL_DATADIR}/procward USE_SOURCE_PERMISSIONS)
install(FILES packaging/procward.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ui/res/procward_256.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps
  RENAME procward.png)

# The manual pages, written for scdoc in docs/man. The sections both pages
# share (ctl and its commands, the files, the environment) are kept once,
# in docs/man/*.scd.part, and put in where a page says @MAN_CTL@,
# @MAN_FILES@ or @MAN_ENVIRONMENT@, with @PROGRAM@ in them naming the
# page's program; the footer carries the version the programs print.
find_program(PROCWARD_SCDOC scdoc REQUIRED)
set(PROCWARD_MAN_PAGES)
foreach(page procward.1 procwardd.8)
  string(REGEX REPLACE "[.][0-9]$" "" PROGRAM ${page})
  string(REGEX MATCH "[0-9]$" section ${page})
  foreach(part ctl files environment)
    set(fragment ${CMAKE_SOURCE_DIR}/docs/man/${part}.scd.part)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${fragment})
    file(READ ${fragment} text)
    string(TOUPPER ${part} name)
    string(CONFIGURE "${text}" MAN_${name} @ONLY)
  endforeach()
  configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.scd ${CMAKE_BINARY_DIR}/man/${page}.scd @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND sh -c "${PROCWARD_SCDOC} < ${page}.scd > ${page}"
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.scd
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man VERBATIM)
  list(APPEND PROCWARD_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page})
  install(FILES ${CMAKE_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${PROCWARD_MAN_PAGES})
