# media_demo(1). Debian installs manual pages gzip-compressed; -n keeps the file's
# name and time stamp out of the archive so rebuilt packages stay byte-identical.
set(MEDIA_MAN_SOURCE ${PROJECT_SOURCE_DIR}/docs/media_demo.1)
find_program(MEDIA_GZIP gzip)
if(MEDIA_GZIP)
  set(MEDIA_MAN_FILE ${CMAKE_CURRENT_BINARY_DIR}/media_demo.1.gz)
  add_custom_command(OUTPUT ${MEDIA_MAN_FILE}
    COMMAND ${MEDIA_GZIP} -9 -n -c ${MEDIA_MAN_SOURCE} > ${MEDIA_MAN_FILE}
    DEPENDS ${MEDIA_MAN_SOURCE}
    VERBATIM)
  add_custom_target(media_demo_man ALL DEPENDS ${MEDIA_MAN_FILE})
else()
  set(MEDIA_MAN_FILE ${MEDIA_MAN_SOURCE})
endif()
install(FILES ${MEDIA_MAN_FILE}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT runtime)
