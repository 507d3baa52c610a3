# Where `cmake --install` puts the programs and their files.
#
# The programs find their files at fixed places (kestrund's default
# configuration file, trellan's protocol file fallback), so the layout is
# given below the file-system root, not below /usr/local: the default prefix
# is "/", and `cmake --install <build> --prefix <dir>` (or DESTDIR=<dir>)
# stages the same tree below <dir>.
#
#   usr/local/kestrund/bin/kestrund
#   usr/local/kestrund/etc/kestrund.conf     default configuration (-f overrides)
#   usr/local/kestrund/etc/zwave.avsc        beside the configuration
#   usr/local/kestrund/etc/dev.json          device-specific configuration
#   usr/local/kestrund/var/networks/         zip_server.txt, node-information files
#   usr/local/bin/morvash
#   opt/bin/trellan                          VANTOR_INSTALL_PATH=/opt/bin, root /opt
#   opt/VERSION                              host-controller application version
#   opt/install/corvale/etc/zwave.avsc
#   opt/install/corvale/htdocs/ui/{eng,stb,pc,phone}/VERSION
#
# Components: "daemon", "web" and "tools", so that one side can be staged
# alone (`cmake --install <build> --component web --prefix <dir>`).
#
# The PHP interpreter below the web root (install/php/bin/php) and the
# session script (install/corvale/auth-cgi-bin/user_name_get.php) belong to
# the web interface's platform, not to this project; tests and the demo
# stage stand-ins for them (tests/e2e/web_stack.sh).

set(ZW_INSTALL_DAEMON_DIR usr/local/kestrund)
set(ZW_INSTALL_WEB_ROOT opt)

if(TARGET kestrund)
  install(TARGETS kestrund RUNTIME DESTINATION ${ZW_INSTALL_DAEMON_DIR}/bin COMPONENT daemon)
  install(FILES ${CMAKE_SOURCE_DIR}/daemon/kestrund.conf ${CMAKE_SOURCE_DIR}/daemon/dev.json
                ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
          DESTINATION ${ZW_INSTALL_DAEMON_DIR}/etc COMPONENT daemon)
  install(DIRECTORY DESTINATION ${ZW_INSTALL_DAEMON_DIR}/var/networks COMPONENT daemon)
endif()

if(TARGET morvash)
  install(TARGETS morvash RUNTIME DESTINATION usr/local/bin COMPONENT tools)
endif()

if(TARGET trellan)
  install(TARGETS trellan RUNTIME DESTINATION ${ZW_INSTALL_WEB_ROOT}/bin COMPONENT web)
  # trellan reads the keys up to a CR LF line end.
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/install/VERSION
       CONTENT "MAJOR=${PROJECT_VERSION_MAJOR}\nMINOR=${PROJECT_VERSION_MINOR}\n"
       NEWLINE_STYLE CRLF)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/install/UI_VERSION
       CONTENT "${PROJECT_VERSION}\n" NEWLINE_STYLE UNIX)
  install(FILES ${CMAKE_BINARY_DIR}/install/VERSION DESTINATION ${ZW_INSTALL_WEB_ROOT} COMPONENT web)
  install(FILES ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
          DESTINATION ${ZW_INSTALL_WEB_ROOT}/install/corvale/etc COMPONENT web)
  foreach(ui eng stb pc phone)
    install(FILES ${CMAKE_BINARY_DIR}/install/UI_VERSION RENAME VERSION
            DESTINATION ${ZW_INSTALL_WEB_ROOT}/install/corvale/htdocs/ui/${ui} COMPONENT web)
  endforeach()
endif()
