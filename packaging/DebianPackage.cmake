# Debian packages from one build: media-demo (the program and its manual page),
# libmedia-dev (library, headers, CMake and pkg-config files) and, when the Python module
# is built, python3-media.
# Made with: cmake -DCMAKE_INSTALL_PREFIX=/usr ... && cpack -G DEB   (in the build tree)
set(MEDIA_PACKAGE_MAINTAINER "media developers <media@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME media)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MEDIA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Decodes RTSP, RTMP and file video sources with FFmpeg into OpenCV images")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME media-demo)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION video)
# CPack puts CPACK_PACKAGE_DESCRIPTION_SUMMARY first as the synopsis; these are the bodies.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "media_demo opens an RTSP or RTMP address or a media file, decodes its first\n\
video stream and saves the first 52 pictures as 0.jpg to 51.jpg in the working\n\
directory.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmedia-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Development files: demuxer, decoder and scaler classes over FFmpeg that hand out\n\
pictures as OpenCV images: the library, its headers, a CMake package\n\
(find_package(media), target media::media) and media.pc for pkg-config.")
# The public headers include FFmpeg's and OpenCV's, and media.pc and mediaConfig.cmake
# look those up again, so the -dev packages are needed, which dpkg-shlibdeps cannot know.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libavformat-dev, libavcodec-dev, libavutil-dev, libswscale-dev, libopencv-dev, pkg-config")

if(TARGET media_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-media)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "The media module for Python 3: live RTSP, RTMP and file video sources read on\n\
threads of their own, pictures handed over as numpy BGR images without a copy, the\n\
newest one or every one, with reconnection after a stall.")
  # The module is built for one interpreter version's ABI; its FFmpeg and OpenCV libraries
  # come from dpkg-shlibdeps below. numpy is only imported at run time.
  get_target_property(media_python_version media_python MEDIA_PYTHON_VERSION)
  string(REGEX REPLACE "^3\\.([0-9]+)$" "\\1" media_python_minor "${media_python_version}")
  math(EXPR media_python_next "${media_python_minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${media_python_version}~), python3 (<< 3.${media_python_next}), python3-numpy")
endif()

# Runtime libraries of media_demo (and of libmedia.so in a shared build) come from
# dpkg-shlibdeps, so they follow whatever FFmpeg and OpenCV the build linked.
# dpkg-shlibdeps only knows this machine's libraries, so a cross build goes without.
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
get_target_property(media_type media TYPE)
if(media_type STREQUAL "SHARED_LIBRARY")
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
endif()

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

include(CPack)
