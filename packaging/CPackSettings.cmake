# The Debian package: `cpack -G DEB` in a build folder writes
# updater_VERSION_amd64.deb there. Included from the top-level CMakeLists.txt
# just before include(CPack).

# One version for the tool, its library and the package: the link core's.
file(STRINGS ${CMAKE_SOURCE_DIR}/common/aVersion.h _version_lines
     REGEX "^#define aVERSION_(MAJOR|MINOR|PATCH) [0-9]+$")
foreach(_part MAJOR MINOR PATCH)
  string(REGEX MATCH "aVERSION_${_part} ([0-9]+)" _match "${_version_lines}")
  if(NOT _match)
    message(FATAL_ERROR "common/aVersion.h has no aVERSION_${_part}")
  endif()
  set(CPACK_PACKAGE_VERSION_${_part} ${CMAKE_MATCH_1})
endforeach()
set(CPACK_PACKAGE_VERSION
    "${CPACK_PACKAGE_VERSION_MAJOR}.${CPACK_PACKAGE_VERSION_MINOR}.${CPACK_PACKAGE_VERSION_PATCH}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "The Updater developers")
set(CPACK_PACKAGE_CONTACT "The Updater developers <updater@tessaluma.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tool for Tessaluma instrument modules")
# Debian's long description below the summary line: lines of at most 80
# columns, an empty line between paragraphs.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Updater discovers Tessaluma modules attached by USB, on the local network"
  "or behind a routing module, downloads their firmware builds from the update"
  "server into a local store, writes firmware into running modules and recovers"
  "modules whose firmware no longer starts."
  ""
  "The package also holds tessaluma-update-server, a local update server that"
  "serves a lab without internet access as an offline mirror.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the library packages the programs link, with the
# versions they need, from what the build machine has installed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The message-queue library is opened when first needed, not linked, so
# dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libczmq4 (>= 4.2)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

if(UPDATER_INSTALLS_UDEV_RULE)
  if(IS_ABSOLUTE ${UPDATER_UDEV_RULES_DIR})
    set(UPDATER_UDEV_RULE_PATH "${UPDATER_UDEV_RULES_DIR}/60-tessaluma.rules")
  else()
    set(UPDATER_UDEV_RULE_PATH "${CPACK_PACKAGING_INSTALL_PREFIX}/${UPDATER_UDEV_RULES_DIR}/60-tessaluma.rules")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/debian/postinst
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

# A source package of a working tree must not take the build folders along.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/_CPack_Packages/")
