# Installation of everything beside the executables (example configuration, documentation, man page,
# systemd units, kernel and log settings, Wireshark dissector) and the Debian package. Included from the
# top-level CMakeLists.txt; their tests are registered in tests/CMakeLists.txt.

set(BCST_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(BCST_SOURCE_DIR ${PROJECT_SOURCE_DIR})

# ---- files ---------------------------------------------------------------------------------
install(FILES ${BCST_SOURCE_DIR}/examples/BCSTBRIDGE.INI DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(DIRECTORY ${BCST_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
install(FILES ${BCST_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${BCST_SOURCE_DIR}/tools/wireshark/bcstbridge.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/bcstbridge/wireshark)
# The log script carries the package's version for its --version.
configure_file(${BCST_PACKAGING_DIR}/logs/bcstbridge-logs ${CMAKE_BINARY_DIR}/packaging/bcstbridge-logs @ONLY)
set(BCST_LOGS_SCRIPT ${CMAKE_BINARY_DIR}/packaging/bcstbridge-logs)
install(PROGRAMS ${BCST_LOGS_SCRIPT} DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/bcstbridge)
# So does the Prometheus exporter script; its alerting rules go beside the dissector.
configure_file(${BCST_PACKAGING_DIR}/prometheus/bcstbridge-prometheus
               ${CMAKE_BINARY_DIR}/packaging/bcstbridge-prometheus @ONLY)
set(BCST_PROMETHEUS_SCRIPT ${CMAKE_BINARY_DIR}/packaging/bcstbridge-prometheus)
install(PROGRAMS ${BCST_PROMETHEUS_SCRIPT} DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/bcstbridge)
# The hot-standby scripts that keepalived runs, and its example configuration with a systemd drop-in.
foreach(script bcstbridge-role bcstbridge-healthy)
  configure_file(${BCST_PACKAGING_DIR}/ha/${script} ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/${script} DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/bcstbridge)
endforeach()
set(BCST_ROLE_SCRIPT ${CMAKE_BINARY_DIR}/packaging/bcstbridge-role)
set(BCST_HEALTHY_SCRIPT ${CMAKE_BINARY_DIR}/packaging/bcstbridge-healthy)
install(FILES ${BCST_SOURCE_DIR}/examples/keepalived.conf ${BCST_SOURCE_DIR}/examples/keepalived-bcstbridge.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
set(BCST_PROMETHEUS_RULES ${BCST_PACKAGING_DIR}/prometheus/bcstbridge-rules.yml)
install(FILES ${BCST_PROMETHEUS_RULES} DESTINATION ${CMAKE_INSTALL_DATADIR}/bcstbridge/prometheus)
# systemd looks in <prefix>/lib for /usr and /usr/local; sysctl.d likewise. The name sorts first, so
# that a host's own larger net.core.rmem_max always wins.
install(FILES ${BCST_PACKAGING_DIR}/sysctl/00-bcstbridge.conf DESTINATION lib/sysctl.d)

# Manual pages and the Debian changelog, compressed as Debian installs them (gzip -9n: no name or
# time stamp, so that the same source gives the same package).
set(BCST_GZ_DIR ${CMAKE_BINARY_DIR}/packaging/gz)
set(BCST_MAN_PAGES ${BCST_SOURCE_DIR}/docs/bcstbridge.8)
foreach(tool bcst-feed bcst-dump bcst-stat bcst-verify bcst-store)
  if(TARGET ${tool})
    list(APPEND BCST_MAN_PAGES ${BCST_SOURCE_DIR}/docs/${tool}.1)
  endif()
endforeach()
set(BCST_GZ_FILES "")
# The package is native (its version has no Debian revision), so its changelog is changelog.gz.
foreach(page ${BCST_MAN_PAGES} ${BCST_PACKAGING_DIR}/debian/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${BCST_GZ_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BCST_GZ_DIR}
    COMMAND gzip -9n -c ${page} > ${BCST_GZ_DIR}/${name}.gz
    DEPENDS ${page} VERBATIM)
  list(APPEND BCST_GZ_FILES ${BCST_GZ_DIR}/${name}.gz)
  if(name MATCHES "\\.([18])$")
    install(FILES ${BCST_GZ_DIR}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1})
  endif()
endforeach()
add_custom_target(bcstcompressed ALL DEPENDS ${BCST_GZ_FILES})
install(FILES ${BCST_GZ_DIR}/changelog.gz ${BCST_PACKAGING_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Lintian's overrides, each with its reason.
install(FILES ${BCST_PACKAGING_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME bcstbridge)

set(BCST_UNIT_SOURCES
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge@.service
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge.target
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge-logs.service
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge-logs.timer
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge-prometheus.service
  ${BCST_PACKAGING_DIR}/systemd/bcstbridge-prometheus.timer)
install(CODE "
  set(BCST_UNIT_SOURCES \"${BCST_UNIT_SOURCES}\")
  set(BCST_UNIT_WORK_DIR \"${CMAKE_CURRENT_BINARY_DIR}/packaging/units\")
  set(BCST_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(BCST_INSTALL_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")")
install(SCRIPT ${BCST_PACKAGING_DIR}/install-units.cmake)

# ---- Debian package: cpack -G DEB ------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bcstbridge)
set(CPACK_PACKAGE_VENDOR "bcstbridge")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "market-data broadcast bridge (compressed feed to old fixed-layout multicast)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
Joins an IPv4 multicast group carrying LZ4-compressed exchange frames, keeps
an instrument store from open/high/low and ticker records and re-publishes
every market-by-price record as an old fixed-layout, big-endian broadcast
message in a 512-byte datagram on a second group. Includes a systemd template
unit for several instances, the feed simulator bcst-feed, the decoder and
capture tool bcst-dump, the live counters viewer bcst-stat with a Prometheus
textfile exporter, and a Wireshark dissector.")
set(BCST_MAINTAINER "bcstbridge maintainers <bcstbridge@localhost>" CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT "${BCST_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BCST_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Library dependencies (libc6, liblz4-1, ...) come from the binaries through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# A hot-standby pair runs keepalived (bcstbridge-role, bcstbridge-healthy); a single host does not.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "keepalived")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${BCST_PACKAGING_DIR}/debian/postinst
  ${BCST_PACKAGING_DIR}/debian/prerm
  ${BCST_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
