# What `cmake --install` puts where beyond the program, the library and the
# schemas, and the Debian package that CPack builds from the same rules.
# Included from the top-level CMakeLists.txt after its own install rules.

option(JANTOR_INSTALL_REGISTRY
       "Install the registry root /usr/vornis/registry (a fixed path, outside the prefix)" ON)
set(JANTOR_PACKAGE_MAINTAINER "jantor developers <jantor@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/jantor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/dist/jantor.default
              ${CMAKE_CURRENT_SOURCE_DIR}/dist/jantor-alerts.yml
              ${CMAKE_CURRENT_SOURCE_DIR}/dist/odbc-sqlite.ini
              ${CMAKE_CURRENT_SOURCE_DIR}/dist/odbc-postgres.ini
              ${CMAKE_CURRENT_SOURCE_DIR}/dist/odbc-mariadb.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/jantor/examples)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's topics, one page each, with the pictures they show.
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/doc/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)

# The service unit and the pkg-config file name installed paths. CPack
# installs with a prefix of its own (/usr) whatever the build was
# configured with, so both are written at install time, from the prefix
# in force then.
install(CODE "
  set(JANTOR_SOURCE [[${CMAKE_CURRENT_SOURCE_DIR}]])
  set(JANTOR_WORK [[${CMAKE_CURRENT_BINARY_DIR}/dist]])
  set(JANTOR_VERSION [[${PROJECT_VERSION}]])
  set(JANTOR_BINDIR [[${CMAKE_INSTALL_BINDIR}]])
  set(JANTOR_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(JANTOR_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(JANTOR_DATADIR [[${CMAKE_INSTALL_DATADIR}]])
  set(JANTOR_LINK_LIBS [[${CMAKE_DL_LIBS}]])
  include([[${CMAKE_CURRENT_SOURCE_DIR}/dist/configure-at-install.cmake]])
")

# The registry keeps its keys under a root that is not relative to the
# prefix. Its seven hive folders are made empty; keys appear as programs
# write them.
if(JANTOR_INSTALL_REGISTRY)
  foreach(hive hkey_classes_root hkey_current_user hkey_local_machine hkey_users
               hkey_performance_data hkey_current_config hkey_dyn_data)
    install(DIRECTORY DESTINATION /usr/vornis/registry/${hive})
  endforeach()
endif()

# ---- Debian package: cpack -G DEB in the build folder ----------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jantor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${JANTOR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scheduled web requests from a database table")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "jantor is a console daemon that polls a schedule table through ODBC,
makes an HTTP/1.0 GET for every entry that is due (with HTTP Basic
credentials when the entry carries them) and writes back each entry's
next run time. It comes with a systemd unit, schemas for SQLite,
PostgreSQL and MariaDB, and its support library with headers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the program links (libodbc2, libc6, ...) come from
# dpkg-shlibdeps; the driver manager's tools and configuration and the
# SQLite driver are needed at run time without being linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libssl3 is loaded when the first https:// entry is hit, libsystemd0 when
# systemd gives jantor a notification socket; neither is linked. libdate-tz3
# (and the tzdata it depends on) gives calendar schedules their time zones:
# named here, not only left to dpkg-shlibdeps, because the installed support
# library needs it whether or not the program links it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, libsqliteodbc, libssl3, libsystemd0, libdate-tz3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, odbc-mariadb")
# https:// entries verify servers against the system's trust store.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_STRIP_FILES ON)
include(CPack)
