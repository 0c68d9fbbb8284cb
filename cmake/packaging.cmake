# `cpack -G DEB` from a build tree: one package holding what the install rules put under /usr.
set(EST_PACKAGE_MAINTAINER "Estacionamiento Tarifado developers <estacionamiento@quenlor.org>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME estacionamiento)
set(CPACK_PACKAGE_VENDOR "Estacionamiento Tarifado developers")
set(CPACK_PACKAGE_CONTACT "${EST_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pay for metered street parking with a phone number")
set(CPACK_PACKAGE_DESCRIPTION
  "Register once with a mobile number and the PIN the parking service sends\n"
  "to it, add licence plates and buy parking tickets in units of 30 minutes,\n"
  "with reminders before they end. Without a service address the application\n"
  "starts its own demo parking service.\n"
  "\n"
  "Also ships the stand-alone parking service (parking-service) and two\n"
  "command-line tools over the project's libraries: json, a strict JSON\n"
  "validator and pretty-printer, and fetch, a curl-like HTTP client.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${EST_PROJECT_URL}")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Library dependencies come from dpkg-shlibdeps; Qt's platform plugins are loaded at run time,
# so no library names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-open-sans")

include(CPack)
