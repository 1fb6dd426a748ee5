# SPDX-License-Identifier: Apache-2.0
# Run by cpack once the files to package are in place: packaging/changelog,
# signed by the packages' maintainer, as each native package's changelog.gz,
# beside its copyright file (gzip -n: no name or time stamp, so the packages
# are the same on every run).
file(GLOB copyrights "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/*/copyright")
if(NOT copyrights)
  message(FATAL_ERROR "no share/doc/*/copyright under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(READ "${CPACK_VANTREL_CHANGELOG}" text)
string(REPLACE "@MAINTAINER@" "${CPACK_DEBIAN_PACKAGE_MAINTAINER}" text "${text}")
foreach(copyright IN LISTS copyrights)
  get_filename_component(doc "${copyright}" DIRECTORY)
  file(WRITE "${doc}/changelog" "${text}")
  execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${doc}/changelog")
  endif()
endforeach()
