# Runs at install time (cmake --install, cpack): writes the systemd units with the paths of the
# prefix being installed to, so that ExecStart= names the installed binary whatever the prefix.
# Set by packaging.cmake: BCST_UNIT_SOURCES, BCST_UNIT_WORK_DIR, BCST_INSTALL_BINDIR,
# BCST_INSTALL_LIBEXECDIR (both relative to the prefix).

set(_bcst_bindir "${CMAKE_INSTALL_PREFIX}/${BCST_INSTALL_BINDIR}")
set(_bcst_libexecdir "${CMAKE_INSTALL_PREFIX}/${BCST_INSTALL_LIBEXECDIR}")
# One work directory per destination, so that concurrent installs (a staging test beside a package
# build) never read each other's files.
string(MD5 _bcst_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(_bcst_work "${BCST_UNIT_WORK_DIR}/${_bcst_key}")
file(MAKE_DIRECTORY "${_bcst_work}")

set(_bcst_units "")
foreach(_bcst_source IN LISTS BCST_UNIT_SOURCES)
  get_filename_component(_bcst_name "${_bcst_source}" NAME)
  file(READ "${_bcst_source}" _bcst_text)
  string(REPLACE "/usr/bin/bcstbridge" "${_bcst_bindir}/bcstbridge" _bcst_text "${_bcst_text}")
  string(REPLACE "/usr/bin/bcst-stat" "${_bcst_bindir}/bcst-stat" _bcst_text "${_bcst_text}")
  string(REPLACE "/usr/libexec/bcstbridge/" "${_bcst_libexecdir}/bcstbridge/" _bcst_text "${_bcst_text}")
  file(WRITE "${_bcst_work}/${_bcst_name}" "${_bcst_text}")
  list(APPEND _bcst_units "${_bcst_work}/${_bcst_name}")
endforeach()

file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${_bcst_units})
