# Run by `cmake --install` and by CPack (see install.cmake): writes the
# files that name installed paths, from the prefix of this install, and
# installs them. DESTDIR is honoured by file(INSTALL).

function(jantor_full_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

set(JANTOR_PREFIX "${CMAKE_INSTALL_PREFIX}")
jantor_full_path(JANTOR_FULL_BINDIR "${JANTOR_BINDIR}")
jantor_full_path(JANTOR_FULL_LIBDIR "${JANTOR_LIBDIR}")
jantor_full_path(JANTOR_FULL_INCLUDEDIR "${JANTOR_INCLUDEDIR}")
jantor_full_path(JANTOR_FULL_DATADIR "${JANTOR_DATADIR}")
set(link_flags "")
foreach(lib ${JANTOR_LINK_LIBS})
  string(APPEND link_flags " -l${lib}")
endforeach()
string(STRIP "${link_flags}" JANTOR_LINK_LIBS)

# A folder of this install's own, so that two installs at once (a package
# build and a plain install) never write the same file.
string(RANDOM LENGTH 12 install_tag)
set(out "${JANTOR_WORK}/install-${install_tag}")
configure_file("${JANTOR_SOURCE}/dist/jantor.service.in" "${out}/jantor.service" @ONLY)
configure_file("${JANTOR_SOURCE}/dist/jantorsupport.pc.in" "${out}/jantorsupport.pc" @ONLY)

# jantor@.service: one daemon per instance, for several processes that
# share a table through views. Each instance reads /etc/default/jantor-NAME.
# It has no state directory: dynamic users of several instances would take
# one folder from each other, and sharing is for database servers anyway.
file(READ "${out}/jantor.service" unit)
foreach(change
    "one daemon polling one schedule table.|one of several daemons, one per instance NAME."
    "Settings: /etc/default/jantor (|Settings: /etc/default/jantor-NAME ("
    "enable --now jantor\n|enable --now jantor@NAME\n"
    "journalctl -u jantor\n|journalctl -u jantor@NAME\n"
    "from a database table\n|from a database table (%i)\n"
    "EnvironmentFile=/etc/default/jantor\n|EnvironmentFile=/etc/default/jantor-%i\n"
    "# The one place it may write; a SQLite schedule database belongs here.\nStateDirectory=jantor\n|")
  string(FIND "${change}" "|" bar)
  string(SUBSTRING "${change}" 0 ${bar} from)
  math(EXPR bar "${bar} + 1")
  string(SUBSTRING "${change}" ${bar} -1 to)
  string(FIND "${unit}" "${from}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "jantor.service.in no longer holds: ${from}")
  endif()
  string(REPLACE "${from}" "${to}" unit "${unit}")
endforeach()
file(WRITE "${out}/jantor@.service" "${unit}")

# systemd looks for units below /usr/lib and /usr/local/lib, so the unit
# goes to lib/ whatever the library folder is called.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${out}/jantor.service" "${out}/jantor@.service")
file(INSTALL DESTINATION "${JANTOR_FULL_LIBDIR}/pkgconfig" TYPE FILE
     FILES "${out}/jantorsupport.pc")
file(REMOVE_RECURSE "${out}")
