# What `cmake --install` puts on a machine, and the Debian package made of it
# (CPack). The programs get names of their own on the PATH: the console is
# counter-console, never `run`.

include(GNUInstallDirs)

# The Debian packages, one for each group of programs, so that each pulls
# only what it uses (the component of each install rule):
#   counter-common       the bus lock made at boot, and the documentation
#   counter-console      the console, the wiring self-test, bus traces
#   countctl             the instrument from scripts, the unattended acquisition
#   counter-scpi-server  the network instrument: SCPI, VXI-11, its web page, mDNS
#   counter-tango-server the instrument as Tango devices (where libtango is
#                        found): it needs none of the others, nor they it
#   counter-tango-sandbox a Tango control system on one machine, to try the
#                        device in (architecture all)
#   python3-counting-instrument  the instrument from Python: the PyMeasure
#                        class, the reader by index, the loader of countctl's
#                        files (architecture all)
set(package_of_common counter-common)
set(package_of_console counter-console)
set(package_of_countctl countctl)
set(package_of_server counter-scpi-server)
set(package_of_tango counter-tango-server)
set(package_of_python python3-counting-instrument)
set(package_of_sandbox counter-tango-sandbox)
set(components common console countctl server python)
if(HAVE_TANGO)
  list(APPEND components tango sandbox)
endif()

# install_program(<target> <installed name> <component>), stripped by
# `--strip` and CPack.
function(install_program target name component)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ${name} COMPONENT ${component})
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\")
    endif()" COMPONENT ${component})
  endif()
endfunction()

install_program(run counter-console console)
install_program(countctl countctl countctl)
install_program(bus_check counter-bus-check console)
install_program(bus_trace counter-bus-trace console)
install_program(scpi_server counter-scpi-server server)
if(HAVE_TANGO)
  install_program(counter-tango-server counter-tango-server tango)
  # Where Debian's Starter finds a host's device servers (its StartDsPath
  # names /usr/lib/tango, beside DataBaseds and TangoTest).
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/starter)
  file(CREATE_LINK ../../bin/counter-tango-server ${PROJECT_BINARY_DIR}/starter/counter-tango-server SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/starter/counter-tango-server DESTINATION lib/tango COMPONENT tango)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/tools/installed/counter-tango-sandbox DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT sandbox)
  install(FILES tools/tango_sandbox/tango_control_system.py DESTINATION ${CMAKE_INSTALL_DATADIR}/counter-tango-sandbox
          COMPONENT sandbox)
endif()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES README.md BENCHMARKS.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/counter-common COMPONENT common)
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/counter-common COMPONENT common PATTERN man EXCLUDE)
# Debian wants the changelog compressed, reproducibly (no name, no time);
# every package carries it and the copyright in its own documentation.
add_custom_command(OUTPUT changelog.gz
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(changelog ALL DEPENDS changelog.gz)
foreach(component ${components})
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz cmake/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package_of_${component}} COMPONENT ${component})
endforeach()

# The manual pages (docs/man, made from the programs' --help by
# tools/scripts/make-manpages), compressed as Debian wants them, and countctl's
# bash completion.
set(manual_pages countctl counter-console counter-bus-check counter-bus-trace counter-scpi-server)
set(component_of_countctl countctl)
set(component_of_counter-console console)
set(component_of_counter-bus-check console)
set(component_of_counter-bus-trace console)
set(component_of_counter-scpi-server server)
if(HAVE_TANGO)
  list(APPEND manual_pages counter-tango-server counter-tango-sandbox)
  set(component_of_counter-tango-server tango)
  set(component_of_counter-tango-sandbox sandbox)
endif()
set(compressed_pages)
foreach(page ${manual_pages})
  add_custom_command(OUTPUT man/${page}.1.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory man
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 > man/${page}.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  list(APPEND compressed_pages ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component_of_${page}})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})
install(FILES tools/countctl/completion.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME countctl COMPONENT countctl)
# The units (the SCPI server, the unattended acquisition), not enabled: a
# lab turns them on when it wants them. They are made when installing, so
# that they start the programs where this install put them (`cmake
# --install --prefix` may name another prefix than the one configured).
# Their options files are installed once and never overwritten: an
# existing file is kept (and dpkg keeps them as conffiles).
set(component_of_counter-scpi-server server)
set(component_of_counter-acquire countctl)
# The configuration directory follows the prefix installed to, as
# GNUInstallDirs has it: /etc for /usr, else PREFIX/etc (a user's own
# prefix needs no root).
set(sysconfdir_at_install "
    if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
      set(sysconfdir /etc)
    else()
      set(sysconfdir \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()")
foreach(unit counter-scpi-server counter-acquire)
  install(CODE "${sysconfdir_at_install}
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/debian/${unit}.service.in\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service\")
    set(options_file \"\$ENV{DESTDIR}\${sysconfdir}/default/${unit}\")
    if(EXISTS \"\${options_file}\")
      message(STATUS \"Kept: \${options_file} (a lab's settings are never overwritten)\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/debian/${unit}.default\"
           DESTINATION \"\${sysconfdir}/default\" RENAME ${unit}) # DESTDIR goes before it
    endif()" COMPONENT ${component_of_${unit}})
endforeach()
# The Tango device server's unit is a template, one instance a device
# server (counter-tango-server@INSTANCE); its environment file is the
# package's, installed once as the others are.
if(HAVE_TANGO)
  install(CODE "${sysconfdir_at_install}
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/debian/counter-tango-server@.service.in\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/counter-tango-server@.service\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/counter-tango-server@.service\")
    if(EXISTS \"\$ENV{DESTDIR}\${sysconfdir}/default/counter-tango-server\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${sysconfdir}/default/counter-tango-server\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/debian/counter-tango-server.default\"
           DESTINATION \"\${sysconfdir}/default\" RENAME counter-tango-server)
    endif()" COMPONENT tango)
endif()
# The server's mDNS announcements (avahi-daemon reads /etc/avahi/services),
# installed once as the options files are: a lab edits their ports.
foreach(announcement counter-scpi-raw counter-vxi11 counter-http counter-lxi)
  install(CODE "${sysconfdir_at_install}
    if(EXISTS \"\$ENV{DESTDIR}\${sysconfdir}/avahi/services/${announcement}.service\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${sysconfdir}/avahi/services/${announcement}.service\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/debian/avahi/${announcement}.service\"
           DESTINATION \"\${sysconfdir}/avahi/services\")
    endif()" COMPONENT server)
endforeach()
# The server's web page; dygraphs comes from Debian's libjs-dygraphs.
install(FILES tools/scpi_server/web/index.html tools/scpi_server/web/app.js tools/scpi_server/web/style.css
        DESTINATION ${CMAKE_INSTALL_DATADIR}/counter-scpi-server/web COMPONENT server)
# The bus lock made at boot, root:gpio 0660: every program that drives the bus takes it.
install(FILES cmake/debian/counter-console.tmpfiles DESTINATION lib/tmpfiles.d RENAME counter-console.conf
        COMPONENT common)
# The Python package, where Debian's python3 finds it.
install(DIRECTORY python/counting_instrument DESTINATION lib/python3/dist-packages COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

# The Debian package, for the architecture the build is for (debian_architecture: Features.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME counter-console)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_architecture})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Counter console developers <counter-console@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
foreach(component ${components})
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package_of_${component}})
endforeach()
set(CPACK_DEBIAN_COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SANDBOX_PACKAGE_ARCHITECTURE all)

set(CPACK_COMPONENT_COMMON_DESCRIPTION "counting instrument on the Pi's GPIO header: common files
The bus lock that every program driving the instrument's bus takes, made at
boot root:gpio 0660, and the documentation: the README, the benchmarks, the
wiring pictures.")
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION "operator console for a counting instrument on the Pi's GPIO header
counter-console is the menu-driven console that drives a counting
instrument over an eighteen-line parallel bus on the Raspberry Pi's GPIO
header; counter-bus-check checks the wiring with a loopback plug;
counter-bus-trace draws reference waveforms of the bus.")
set(CPACK_COMPONENT_COUNTCTL_DESCRIPTION "run a counting instrument on the Pi's GPIO header from scripts
countctl runs the instrument from scripts: acquisitions saved to CSV or
HDF5, threshold scans, plots, lab defaults, and unattended runs in rotated
files (counter-acquire.service, not enabled by default).")
set(CPACK_COMPONENT_SERVER_DESCRIPTION "counting instrument on the Pi's GPIO header as a LAN instrument
counter-scpi-server serves the instrument over the network: SCPI on a raw
socket (port 5025), VXI-11 (TCPIP::host::INSTR, through rpcbind), and a web
page with live plots and a JSON status, announced by mDNS (avahi). Its
systemd unit is not enabled by default.")
set(CPACK_COMPONENT_TANGO_DESCRIPTION "counting instrument on the Pi's GPIO header as Tango devices
counter-tango-server makes each counting instrument a device of a Tango
control system (class CountingInstrument): attributes, commands, a state
and events, reaching the instrument through its counter-scpi-server over
the network. It runs on the Pi or on the lab's control host, one instance
per device server (counter-tango-server@.service, not enabled by default).")

set(CPACK_COMPONENT_SANDBOX_DESCRIPTION "counting instrument's Tango device: a control system to try it in
counter-tango-sandbox starts, on one machine and as the user who runs it,
MariaDB and the Tango database in a scratch directory, counter-scpi-server
on the virtual instrument, and the device lab/counter/1 registered for it;
it prints the TANGO_HOST to export, and Ctrl-C stops it all.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "counting instrument on the Pi's GPIO header, from Python
The Python package counting_instrument: the PyMeasure instrument class for
counter-scpi-server, a reader by index of its journal (every word, in
order, once, among many readers), and a loader that turns countctl's CSV
and HDF5 files into numpy arrays or a pandas frame with their settings,
gap rule and units.")

# Off the Pi (amd64: the control host, a lab PC) the programs drive the
# virtual instrument, and the packages say so.
if(GPIO_BACKEND_CHOSEN STREQUAL "sim")
  set(virtual_note "\n.\nThis build drives the virtual instrument, for training and tests: no hardware.")
  string(APPEND CPACK_COMPONENT_CONSOLE_DESCRIPTION "${virtual_note}")
  string(APPEND CPACK_COMPONENT_SERVER_DESCRIPTION "${virtual_note}")
  string(APPEND CPACK_COMPONENT_COUNTCTL_DESCRIPTION "\n.\nThis build drives the virtual instrument; \
it records a Pi's counts through the Pi's counter-scpi-server with countctl acquire --server.")
endif()

# glibc 2.34 and the C++ runtime of GCC 11 or later: Raspberry Pi OS Bookworm or later.
set(runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
set(runtime_without_bus ${runtime})
if(GPIO_BACKEND_CHOSEN STREQUAL "wiringpi")
  string(APPEND runtime ", wiringpi (>= 3)")
endif()
set(common "counter-common (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "${runtime}, ${common}")
set(countctl_depends "${runtime}, ${common}")
if(HAVE_HDF5)
  string(APPEND countctl_depends ", libhdf5-103-1")
endif()
set(CPACK_DEBIAN_COUNTCTL_PACKAGE_DEPENDS ${countctl_depends})
# countctl plot draws with gnuplot; nothing else needs it.
set(CPACK_DEBIAN_COUNTCTL_PACKAGE_RECOMMENDS "gnuplot-nox")
set(server_depends "${runtime}, ${common}")
if(HAVE_VXI11)
  string(APPEND server_depends ", libtirpc3, rpcbind")
endif()
if(HAVE_HTTP)
  string(APPEND server_depends ", libmicrohttpd12, libjs-dygraphs")
endif()
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS ${server_depends})
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/server/conffiles)
# The Tango server drives no bus: Tango's library, and none of the others.
set(CPACK_DEBIAN_TANGO_PACKAGE_DEPENDS "${runtime_without_bus}, libtango9")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.9), python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-pyvisa, python3-pyvisa-py, python3-pymeasure, python3-pandas, python3-h5py")
set(CPACK_DEBIAN_SANDBOX_PACKAGE_DEPENDS "python3, python3-tango, mariadb-server, mariadb-client, tango-db, \
libtango-tools, counter-scpi-server (= ${PROJECT_VERSION}), counter-tango-server (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SANDBOX_PACKAGE_RECOMMENDS "python3-taurus, dbconfig-no-thanks")
set(CPACK_DEBIAN_TANGO_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/tango/conffiles)
set(CPACK_DEBIAN_COUNTCTL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/countctl/conffiles)
include(CPack)
