# The Debian package: `cpack -G DEB` in the build directory. It holds the install tree
# under /usr, the hive and the logrotate rules under /etc (both conffiles, so an upgrade
# keeps the operator's edits), and the scripts that make the user and the directories.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velnor)
set(CPACK_PACKAGE_VENDOR "VELNOR")
set(CPACK_PACKAGE_VERSION_MAJOR 2)
set(CPACK_PACKAGE_VERSION_MINOR 34)
set(CPACK_PACKAGE_VERSION_PATCH 0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small self-contained HTTP server")
set(CPACK_PACKAGE_DESCRIPTION
    "Serves one document tree on one TCP port: static files, Basic authentication,\n\
error documents, CGI programs, extension libraries and an access log.")
set(CPACK_PACKAGE_CONTACT "VELNOR maintainers <velnor@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# adduser makes the service user in postinst.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")

# The program's own libraries come from dpkg-shlibdeps when it is there and works; a
# fixed list otherwise (a machine without dpkg-dev still builds a usable package).
set(velnor_shlibdeps OFF)
find_program(VELNOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VELNOR_DPKG_SHLIBDEPS)
  execute_process(COMMAND ${VELNOR_DPKG_SHLIBDEPS} --version
                  RESULT_VARIABLE velnor_shlibdeps_status OUTPUT_QUIET ERROR_QUIET)
  if(velnor_shlibdeps_status EQUAL 0)
    set(velnor_shlibdeps ON)
  endif()
endif()
if(velnor_shlibdeps)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
endif()

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# One package holding the default install and the /etc files, which a plain
# `cmake --install` leaves out.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified conffiles)

include(CPack)
