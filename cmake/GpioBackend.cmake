# Chooses who supplies the four GPIO platform calls to the console `run`.
#
#   GPIO_BACKEND=wiringpi  libwiringPi (found with find_library; a prefix
#                          given in CMAKE_PREFIX_PATH is searched)
#   GPIO_BACKEND=sim       the virtual instrument
#   GPIO_BACKEND=auto      wiringpi when the library is found, else sim
#
# Sets GPIO_BACKEND_CHOSEN (wiringpi or sim) and GPIO_PLATFORM_LIBRARY (a
# target to link).

set(GPIO_BACKEND "auto" CACHE STRING "Who supplies the GPIO calls to run: auto, wiringpi or sim")
set_property(CACHE GPIO_BACKEND PROPERTY STRINGS auto wiringpi sim)

if(NOT GPIO_BACKEND MATCHES "^(auto|wiringpi|sim)$")
  message(FATAL_ERROR "GPIO_BACKEND is '${GPIO_BACKEND}'; it must be auto, wiringpi or sim.")
endif()

if(NOT GPIO_BACKEND STREQUAL "sim")
  find_library(WIRINGPI_LIBRARY NAMES wiringPi)
endif()

if(GPIO_BACKEND STREQUAL "wiringpi" AND NOT WIRINGPI_LIBRARY)
  message(FATAL_ERROR
    "GPIO_BACKEND=wiringpi, but libwiringPi was not found.\n"
    "On the Raspberry Pi, install wiringPi from its maintainers' release package "
    "(the wiringpi .deb for your Raspberry Pi OS), then configure again; "
    "or pass -DCMAKE_PREFIX_PATH=<prefix> where <prefix>/lib/libwiringPi.so exists; "
    "or build on the virtual instrument with -DGPIO_BACKEND=sim.")
endif()

if(GPIO_BACKEND STREQUAL "sim" OR NOT WIRINGPI_LIBRARY)
  set(GPIO_BACKEND_CHOSEN "sim")
  set(GPIO_PLATFORM_LIBRARY virtual_instrument)
  message(STATUS "GPIO backend: sim - run drives the virtual instrument, no hardware")
else()
  set(GPIO_BACKEND_CHOSEN "wiringpi")
  # The programs need only libwiringPi itself at link time: the libraries it
  # needs in turn (libcrypt.so.1 for wiringPi 3) are the Pi's business, and
  # a cross sysroot lacks them. They carry no RUNPATH: on the Pi the library
  # is found where the system keeps it, not where it lay on the build machine.
  # Beside the library, what the programs know of the Pi (src/platform.h).
  add_library(wiringpi_platform OBJECT ${PROJECT_SOURCE_DIR}/src/platform_wiringpi.cpp)
  target_link_libraries(wiringpi_platform PUBLIC ${WIRINGPI_LIBRARY})
  target_link_options(wiringpi_platform PUBLIC -Wl,--allow-shlib-undefined)
  set(CMAKE_SKIP_RPATH ON)
  set(GPIO_PLATFORM_LIBRARY wiringpi_platform)
  message(STATUS "GPIO backend: wiringpi - run links ${WIRINGPI_LIBRARY}")
endif()
