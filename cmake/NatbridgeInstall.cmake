# Install rules and the Debian packages.
#
# `cmake --install` puts the daemon and the probe, every framework header
# (with its path below the checkout, so `#include "common/src/..."` works
# from <prefix>/include/natbridge), the static library libnatbridge.a, a CMake
# package (find_package(natbridge CONFIG) -> natbridge::framework) and
# natbridge.pc under the prefix. Two components split it for CPack:
#   daemon -> the `natbridge` package (programs, unit, sample configuration)
#   dev    -> the `libnatbridge-dev` package (headers, library, CMake and
#             pkg-config files)
# Everything stays below the install prefix, except in the packages' build
# (NB_PACKAGE_LAYOUT).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NB_VERSION 1.0.0)
set(NB_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/natbridge)
set(NB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/natbridge)
# Relative destinations follow `cmake --install --prefix`. Only the package
# build (NB_PACKAGE_LAYOUT, prefix /usr) puts the unit and the configuration
# at their absolute system places.
option(NB_PACKAGE_LAYOUT "Install the unit to /lib/systemd/system and the configuration to /etc/natbridge" OFF)
if(NB_PACKAGE_LAYOUT)
  set(NB_UNIT_DIR /lib/systemd/system)
  set(NB_CONF_DIR /etc/natbridge)
else()
  set(NB_UNIT_DIR lib/systemd/system)
  set(NB_CONF_DIR ${CMAKE_INSTALL_SYSCONFDIR}/natbridge)
endif()

# Users include from the directory ABOVE common/: our string.h and signal.h
# must never shadow the C library's. No class layout depends on NDEBUG, so
# users build with or without it, whatever the library was built with.
target_include_directories(natbridge_framework INTERFACE $<INSTALL_INTERFACE:${NB_INCLUDE_SUBDIR}>)
target_compile_features(natbridge_framework INTERFACE cxx_std_17)
set_target_properties(natbridge_framework PROPERTIES OUTPUT_NAME natbridge EXPORT_NAME framework)

install(TARGETS natbridge DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(TARGETS natbridge-probe DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/etc/natbridge.service DESTINATION ${NB_UNIT_DIR} COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/etc/natbridged.ini DESTINATION ${NB_CONF_DIR} COMPONENT daemon)

# Headers by glob, so new ones are installed without touching this file.
file(GLOB_RECURSE NB_PUBLIC_HEADERS RELATIVE ${CMAKE_SOURCE_DIR} CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/common/*.h ${CMAKE_SOURCE_DIR}/lobby/*.h)
foreach(header ${NB_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${header} DESTINATION ${NB_INCLUDE_SUBDIR}/${dir} COMPONENT dev)
endforeach()

install(TARGETS natbridge_framework EXPORT natbridgeTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT natbridgeTargets NAMESPACE natbridge:: DESTINATION ${NB_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/natbridgeConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/cmake/natbridgeConfig.cmake
                              INSTALL_DESTINATION ${NB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/natbridgeConfigVersion.cmake
                                 VERSION ${NB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/natbridgeConfig.cmake ${CMAKE_BINARY_DIR}/cmake/natbridgeConfigVersion.cmake
        DESTINATION ${NB_CMAKE_DIR} COMPONENT dev)

# The package's library keeps its symbols but not its debugging sections
# (what Debian's tools do to a static library in a -dev package).
if(NB_PACKAGE_LAYOUT AND CMAKE_STRIP)
  install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-debug --enable-deterministic-archives
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:natbridge_framework>\"
    COMMAND_ERROR_IS_FATAL ANY)" COMPONENT dev)
endif()

# pkg-config: the static library needs its dependencies on every link line.
# Its paths are relative to the .pc file, so any install prefix works.
file(RELATIVE_PATH NB_PC_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
set(NB_PC_PREFIX "\${pcfiledir}/${NB_PC_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/natbridge.pc.in ${CMAKE_BINARY_DIR}/cmake/natbridge.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/natbridge.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(${CMAKE_SOURCE_DIR}/cmake/NatbridgePackages.cmake)
