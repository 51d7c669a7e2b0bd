# `cpack -G DEB` in the build folder: a Debian package of what `cmake
# --install` puts in place, with /usr as its prefix. The version is the
# project's; the dependencies are read from the tool's own ELF by
# dpkg-shlibdeps. Wine is only suggested: the tool runs the extractor
# natively, Wine merely starts a setup program after `extract --run-setup`.
include(GNUInstallDirs)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/corvane-sfx)
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${changelog}
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${CMAKE_BINARY_DIR}/packaging/changelog ${changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package-changelog ALL DEPENDS ${changelog})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${changelog} DESTINATION ${doc_dir})

set(CPACK_PACKAGE_NAME corvane-sfx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane SFX developers <corvane-sfx@lists.corvane.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting LHA archives for Windows")
# The synopsis line comes from the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "corvane-sfx packs files into an LHA archive and puts it behind a tiny
Windows stub (Windows 95 and later, no C runtime), which extracts it when
run. It lists, tests and extracts such files on Linux with the stub's own
extractor code. Both stubs (i686 and x86_64) are included.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS wine)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# Directories the package owns get the usual modes, whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
