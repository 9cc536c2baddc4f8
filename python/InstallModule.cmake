# Run by cmake --install and by CPack, when the prefix is known: Debian's interpreter
# looks in lib/python3/dist-packages under /usr and in lib/python3.X/dist-packages under
# any other prefix (/usr/local among them).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(media_python_site lib/python3/dist-packages)
else()
  set(media_python_site lib/python${media_python_version}/dist-packages)
endif()
file(INSTALL "${media_python_module}" TYPE MODULE DESTINATION "${CMAKE_INSTALL_PREFIX}/${media_python_site}")
file(INSTALL "${media_python_stub}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${media_python_site}")
