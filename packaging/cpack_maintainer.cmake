# SPDX-License-Identifier: Apache-2.0
# Read by cpack when it makes the package: the maintainer as Debian's own tools
# (dch) take it, DEBFULLNAME and DEBEMAIL, where DEBEMAIL may itself be
# "Name <address>", unless the build was configured with CPACK_PACKAGE_CONTACT.
if(NOT CPACK_VANTREL_CONTACT_GIVEN AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  set(name "$ENV{DEBFULLNAME}")
  set(address "$ENV{DEBEMAIL}")
  if(address MATCHES "^(.*[^ ]) *<([^<>]+)>$")
    if(name STREQUAL "")
      set(name "${CMAKE_MATCH_1}")
    endif()
    set(address "${CMAKE_MATCH_2}")
  endif()
  if(name STREQUAL "")
    set(name "$ENV{NAME}")
  endif()
  if(name STREQUAL "")
    set(name "Vantrel developers")
  endif()
  set(CPACK_PACKAGE_CONTACT "${name} <${address}>")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
