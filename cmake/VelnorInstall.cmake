# The installed layout. The server reads its own files (the log plug-in, handler modules,
# AddType.txt, ErrorDocument.txt) from the directory its executable really lives in, so
# the program and those files stay together in one program directory, and bin/ holds
# only a symbolic link to it: the program resolves its own path, the link included.
include(GNUInstallDirs)

set(VELNOR_PROGRAM_DIR "lib/velnor" CACHE STRING
    "Program directory below the installation prefix")
set(VELNOR_UNIT_DIR "lib/systemd/system" CACHE STRING
    "systemd unit directory below the installation prefix")

install(TARGETS velnor RUNTIME DESTINATION ${VELNOR_PROGRAM_DIR})
install(TARGETS dunmark LIBRARY DESTINATION ${VELNOR_PROGRAM_DIR})
# A handler module in the program directory is live: upper.mod serves ".upper" files.
if(TARGET velnor_upper_mod)
  install(TARGETS velnor_upper_mod LIBRARY DESTINATION ${VELNOR_PROGRAM_DIR})
endif()
# The extensions and the CGI example run from an extension root, never from the program
# directory; they are kept beside it to be copied where a site wants them.
foreach(example velnor_hello_zlx velnor_hello_capi)
  if(TARGET ${example})
    install(TARGETS ${example} LIBRARY DESTINATION ${VELNOR_PROGRAM_DIR}/examples)
  endif()
endforeach()
if(TARGET hello_cgi)
  install(TARGETS hello_cgi RUNTIME DESTINATION ${VELNOR_PROGRAM_DIR}/examples)
endif()

# bin/velnor -> ../lib/velnor/velnor, relative so that the tree can be moved or unpacked
# under another root.
file(RELATIVE_PATH velnor_link_target "/root/${CMAKE_INSTALL_BINDIR}"
     "/root/${VELNOR_PROGRAM_DIR}/velnor")
install(CODE "
  set(velnor_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${velnor_bin}\")
  file(CREATE_LINK \"${velnor_link_target}\" \"\${velnor_bin}/velnor\" SYMBOLIC)
  message(STATUS \"Linking: \${velnor_bin}/velnor -> ${velnor_link_target}\")
")

install(FILES include/velnor/velnor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velnor)
install(FILES docs/velnor.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples USE_SOURCE_PERMISSIONS
        PATTERN CMakeLists.txt EXCLUDE)
install(FILES packaging/velnor.reg DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/hive)
install(FILES examples/systemd/velnor.service DESTINATION ${VELNOR_UNIT_DIR})

# The package's configuration lives in /etc whatever the prefix; a plain
# `cmake --install` leaves the machine's /etc alone and does not install these.
install(FILES packaging/velnor.reg DESTINATION /etc/velnor
        COMPONENT conffiles EXCLUDE_FROM_ALL)
install(FILES examples/logrotate/velnor DESTINATION /etc/logrotate.d
        COMPONENT conffiles EXCLUDE_FROM_ALL)
