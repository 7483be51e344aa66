# The optional features a build has, said in one line each at the end of
# configure, found or not, with the Debian package that brings each missing
# one (for a cross build, the target's: libhdf5-dev:arm64).
#
# -DREQUIRE_FEATURES=ON (as cmake/build-deb configures): a feature that the
# packages' descriptions name and the build lacks fails configure, naming
# those packages. Tango only decides whether its packages are made.

option(REQUIRE_FEATURES "Fail configure when a feature the packages promise is missing" OFF)

# The target's Debian architecture, for the packages' names and the hints.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(debian_architecture arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(debian_architecture armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(debian_architecture amd64)
else()
  set(debian_architecture ${CMAKE_SYSTEM_PROCESSOR})
endif()

# optional_feature(<name> <found> <option> <what it gives> <package>... [PROMISED])
# Packages of the build machine itself (a generator, headers alike on every
# architecture) are written with ":native"; the others get the target's
# architecture in a cross build.
function(optional_feature name found option what)
  set(packages "")
  set(promised OFF)
  foreach(p ${ARGN})
    if(p STREQUAL "PROMISED")
      set(promised ON)
    elseif(p MATCHES ":native$")
      string(REGEX REPLACE ":native$" "" p "${p}")
      list(APPEND packages ${p})
    elseif(CMAKE_CROSSCOMPILING)
      list(APPEND packages ${p}:${debian_architecture})
    else()
      list(APPEND packages ${p})
    endif()
  endforeach()
  list(JOIN packages " " packages)
  set_property(GLOBAL APPEND PROPERTY optional_features "${name}|${found}|${option}|${what}|${packages}|${promised}")
endfunction()

function(report_optional_features)
  get_property(features GLOBAL PROPERTY optional_features)
  message(STATUS "Optional features (for ${debian_architecture}):")
  set(unkept "")
  foreach(f ${features})
    string(REPLACE "|" ";" f "${f}")
    list(GET f 0 name)
    list(GET f 1 found)
    list(GET f 2 option)
    list(GET f 3 what)
    list(GET f 4 packages)
    list(GET f 5 promised)
    if(found)
      message(STATUS "  ${name}: yes, ${what}")
    elseif(NOT ${option})
      message(STATUS "  ${name}: no (-D${option}=OFF), so no ${what}")
    else()
      message(STATUS "  ${name}: no, so no ${what} (apt-get install ${packages})")
    endif()
    if(REQUIRE_FEATURES AND promised AND NOT found AND NOT ${option})
      list(APPEND unkept "${name} (-D${option}=OFF)")
    elseif(REQUIRE_FEATURES AND promised AND NOT found)
      list(APPEND unkept "${name} (apt-get install ${packages})")
    endif()
  endforeach()
  if(unkept)
    list(JOIN unkept ", " unkept)
    message(FATAL_ERROR "The packages promise features this build lacks: ${unkept}")
  endif()
endfunction()
