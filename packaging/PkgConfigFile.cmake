# media.pc: locates itself through ${pcfiledir}, so the same file serves a package
# installed under /usr and a tree installed anywhere with cmake --install --prefix.

function(media_pc_dir out relative_or_absolute)
  if(IS_ABSOLUTE "${relative_or_absolute}")
    set(${out} "${relative_or_absolute}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${relative_or_absolute}" PARENT_SCOPE)
  endif()
endfunction()

set(MEDIA_PC_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH MEDIA_PC_PREFIX_FROM_PCDIR
  /prefix/${MEDIA_PC_INSTALL_DIR} /prefix)
string(REGEX REPLACE "/$" "" MEDIA_PC_PREFIX_FROM_PCDIR "${MEDIA_PC_PREFIX_FROM_PCDIR}")
media_pc_dir(MEDIA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
media_pc_dir(MEDIA_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")

# A static archive leaves its thread dependency to whoever links it; a shared library
# has recorded it already.
get_target_property(media_type media TYPE)
if(media_type STREQUAL "STATIC_LIBRARY")
  set(MEDIA_PC_LIBS "-pthread")
  set(MEDIA_PC_LIBS_PRIVATE "")
else()
  set(MEDIA_PC_LIBS "")
  set(MEDIA_PC_LIBS_PRIVATE "-pthread")
endif()

configure_file(media.pc.in ${CMAKE_CURRENT_BINARY_DIR}/media.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/media.pc
  DESTINATION ${MEDIA_PC_INSTALL_DIR}
  COMPONENT development)
