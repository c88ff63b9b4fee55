# The Debian package: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/build-package.sh does both). It holds
# what the install rules place; the library dependencies come from
# dpkg-shlibdeps.
include(GNUInstallDirs)

# What Debian requires of every package: the copyright file and the
# changelog, compressed, in the package's documentation folder.
set(FR_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${FR_DEB_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${FR_DEB_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
add_custom_target(fr-package-docs ALL DEPENDS ${FR_DEB_CHANGELOG})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${FR_DEB_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging: configure with -DCMAKE_INSTALL_PREFIX=/usr to build the .deb")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fotoretta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Fotoretta developers")
set(CPACK_PACKAGE_CONTACT "The Fotoretta developers <maintainers@fotoretta.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted photos, music and videos from cards and disks")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Fotoretta finds deleted files on memory cards, USB sticks and disks and
copies them to another disk, reading the device only. It undeletes from
FAT, exFAT and NTFS records, rebuilds lost folders from the free sectors and
carves about fifty formats by their signatures.

The package holds the desktop application, its read-only disk helper
started through pkexec, and the command-line tool fotoretta-cli.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://fotoretta.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A program, not a library: the window asks for disk access through it, and
# works without it on images ("fotoretta start").
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
