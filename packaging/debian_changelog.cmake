# SPDX-License-Identifier: Apache-2.0
# Run by cpack once the files to package are in place: packaging/changelog,
# signed by the package's maintainer, as the native package's changelog.gz
# (gzip -n: no name or time stamp, so the package is the same on every run).
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/vantrel")
file(READ "${CPACK_VANTREL_CHANGELOG}" text)
string(REPLACE "@MAINTAINER@" "${CPACK_DEBIAN_PACKAGE_MAINTAINER}" text "${text}")
file(WRITE "${doc}/changelog" "${text}")
execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${doc}/changelog")
endif()
