# What `cmake --install` puts on a machine, and the Debian package made of it
# (CPack). The programs get names of their own on the PATH: the console is
# counter-console, never `run`.

set(CMAKE_INSTALL_DOCDIR share/doc/counter-console CACHE PATH "Documentation directory")
include(GNUInstallDirs)

# install_program(<target> <installed name>), stripped by `--strip` and CPack.
function(install_program target name)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ${name})
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\")
    endif()")
  endif()
endfunction()

install_program(run counter-console)
install_program(countctl countctl)
install_program(bus_check counter-bus-check)
install_program(bus_trace counter-bus-trace)
install_program(scpi_server counter-scpi-server)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES README.md BENCHMARKS.md cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} PATTERN man EXCLUDE)
# Debian wants the changelog compressed, reproducibly (no name, no time).
add_custom_command(OUTPUT changelog.gz
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(changelog ALL DEPENDS changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual pages (docs/man, made from the programs' --help by
# tools/scripts/make-manpages), compressed as Debian wants them, and countctl's
# bash completion.
set(manual_pages countctl counter-console counter-bus-check counter-bus-trace counter-scpi-server)
set(compressed_pages)
foreach(page ${manual_pages})
  add_custom_command(OUTPUT man/${page}.1.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory man
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 > man/${page}.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  list(APPEND compressed_pages ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES tools/countctl/completion.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME countctl)
# The units (the SCPI server, the unattended acquisition), not enabled: a
# lab turns them on when it wants them. They are made when installing, so
# that they start the programs where this install put them (`cmake
# --install --prefix` may name another prefix than the one configured).
# Their options files are installed once and never overwritten: an
# existing file is kept (and dpkg keeps them as conffiles).
foreach(unit counter-scpi-server counter-acquire)
  install(CODE "
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/debian/${unit}.service.in\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service\")
    set(options_file \"\$ENV{DESTDIR}/etc/default/${unit}\")
    if(EXISTS \"\${options_file}\")
      message(STATUS \"Kept: \${options_file} (a lab's settings are never overwritten)\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/debian/${unit}.default\"
           DESTINATION /etc/default RENAME ${unit}) # DESTDIR goes before it
    endif()")
endforeach()
# The server's mDNS announcements (avahi-daemon reads /etc/avahi/services),
# installed once as the options files are: a lab edits their ports.
foreach(announcement counter-scpi-raw counter-vxi11 counter-http counter-lxi)
  install(CODE "
    if(EXISTS \"\$ENV{DESTDIR}/etc/avahi/services/${announcement}.service\")
      message(STATUS \"Kept: \$ENV{DESTDIR}/etc/avahi/services/${announcement}.service\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/debian/avahi/${announcement}.service\" DESTINATION /etc/avahi/services)
    endif()")
endforeach()
# The server's web page; dygraphs comes from Debian's libjs-dygraphs.
install(FILES tools/scpi_server/web/index.html tools/scpi_server/web/app.js tools/scpi_server/web/style.css
        DESTINATION ${CMAKE_INSTALL_DATADIR}/counter-scpi-server/web)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles)
# The bus lock made at boot, root:gpio 0660.
install(FILES cmake/debian/counter-console.tmpfiles DESTINATION lib/tmpfiles.d RENAME counter-console.conf)
install(FILES examples/counting_instrument.py DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The Debian package, for the architecture the build is for.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(debian_architecture arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(debian_architecture armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(debian_architecture amd64)
else()
  set(debian_architecture ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME counter-console)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_architecture})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Counter console developers <counter-console@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator console and tools for a counting instrument on the Pi's GPIO header")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "counter-console is the menu-driven console that drives a counting
instrument over an eighteen-line parallel bus on the Raspberry Pi's GPIO
header. countctl runs the instrument from scripts and saves its counts to
CSV files; counter-bus-check checks the wiring with a loopback plug;
counter-bus-trace draws reference waveforms of the bus; counter-scpi-server
serves the instrument over the network as an SCPI instrument (PyVISA,
PyMeasure), with a systemd unit that is not enabled by default.")
# glibc 2.34 and the C++ runtime of GCC 11 or later: Raspberry Pi OS Bookworm or later.
set(debian_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
if(GPIO_BACKEND_CHOSEN STREQUAL "wiringpi")
  string(APPEND debian_depends ", wiringpi (>= 3)")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${debian_depends})
# countctl plot draws with gnuplot; nothing else needs it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
