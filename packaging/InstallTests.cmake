# Checks of the installed result, run from the outside as a consumer would see it.
set(MEDIA_INSTALL_TEST_DIR ${PROJECT_SOURCE_DIR}/tests/install)

# The consumer is built with this machine's compiler and run directly, which a cross
# build (whose programs need an emulator and a sysroot) cannot offer.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME InstalledPackage_ConsumerDecodesFile
    COMMAND ${MEDIA_INSTALL_TEST_DIR}/run.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(InstalledPackage_ConsumerDecodesFile PROPERTIES
    LABELS install
    TIMEOUT 600)
endif()

# Installing a package changes the machine, so it takes root and an explicit opt-in
# (MEDIA_DEB_TEST=1 when configuring).
execute_process(COMMAND id -u OUTPUT_VARIABLE media_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT CMAKE_CROSSCOMPILING AND media_uid STREQUAL "0" AND "$ENV{MEDIA_DEB_TEST}" STREQUAL "1")
  add_test(NAME DebianPackage_InstalledDemoWritesFrames
    COMMAND ${MEDIA_INSTALL_TEST_DIR}/deb.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(DebianPackage_InstalledDemoWritesFrames PROPERTIES
    LABELS install
    RUN_SERIAL TRUE
    TIMEOUT 600)
endif()
