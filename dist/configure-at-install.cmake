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

# One folder per prefix, so that two installs at once (a package build and
# a plain install) do not write the same file.
string(MAKE_C_IDENTIFIER "${CMAKE_INSTALL_PREFIX}" prefix_tag)
set(out "${JANTOR_WORK}/${prefix_tag}")
configure_file("${JANTOR_SOURCE}/dist/jantor.service.in" "${out}/jantor.service" @ONLY)
configure_file("${JANTOR_SOURCE}/dist/jantorsupport.pc.in" "${out}/jantorsupport.pc" @ONLY)

# systemd looks for units below /usr/lib and /usr/local/lib, so the unit
# goes to lib/ whatever the library folder is called.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${out}/jantor.service")
file(INSTALL DESTINATION "${JANTOR_FULL_LIBDIR}/pkgconfig" TYPE FILE
     FILES "${out}/jantorsupport.pc")
