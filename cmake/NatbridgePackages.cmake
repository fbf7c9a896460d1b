# The Debian packages (`cpack -G DEB` in a build configured with the prefix
# /usr; scripts/packages.sh does it with Debian's hardening flags):
#   natbridge          the daemon (/usr/sbin), the probe (/usr/bin), the
#                      systemd unit, the sample configuration as a conffile,
#                      the system user `natbridge` and its working
#                      directory /var/lib/natbridge (maintainer scripts)
#   libnatbridge-dev   headers, libnatbridge.a, CMake and pkg-config files
set(NB_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# Documentation every package carries, compressed as Debian wants it
# (gzip -n: no time stamp). Made at configure time; editing a source
# re-runs the configuration.
set(NB_DOC_OUT ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${NB_DOC_OUT})
configure_file(${NB_PACKAGING_DIR}/changelog.in ${NB_DOC_OUT}/changelog @ONLY)
foreach(doc changelog:${NB_DOC_OUT}/changelog natbridge.8:${NB_PACKAGING_DIR}/natbridge.8
            natbridge-probe.1:${NB_PACKAGING_DIR}/natbridge-probe.1)
  string(REPLACE ":" ";" doc "${doc}")
  list(GET doc 0 name)
  list(GET doc 1 source)
  execute_process(COMMAND gzip -9 -n -c ${source} OUTPUT_FILE ${NB_DOC_OUT}/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${NB_PACKAGING_DIR}/natbridge.8 ${NB_PACKAGING_DIR}/natbridge-probe.1)

install(FILES ${NB_DOC_OUT}/natbridge.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
install(FILES ${NB_DOC_OUT}/natbridge-probe.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT daemon)
foreach(pair daemon:natbridge dev:libnatbridge-dev)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${NB_PACKAGING_DIR}/copyright ${NB_DOC_OUT}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# CPack indents every line of a description by one blank itself; "." is
# the paragraph break.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME natbridge)
set(CPACK_PACKAGE_VERSION ${NB_VERSION})
set(CPACK_PACKAGE_CONTACT "natbridge maintainers <natbridge@example.org>")
set(CPACK_PACKAGE_VENDOR "natbridge")
set(CPACK_PACKAGE_INSTALL_DIRECTORY natbridge)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE natbridge)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME natbridge)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${NB_PACKAGING_DIR}/postinst ${NB_PACKAGING_DIR}/prerm ${NB_PACKAGING_DIR}/postrm ${NB_PACKAGING_DIR}/conffiles)
set(CPACK_COMPONENT_DAEMON_DESCRIPTION
"relay for game clients behind address-translating routers
natbridge relays traffic between game clients that cannot reach each other
directly. Every client opens one TCP connection to the daemon and logs in;
packets it addresses to another user id are forwarded over that user's
connection with the sender's id filled in.
.
The package runs the daemon as the system user natbridge in
/var/lib/natbridge under a confined systemd unit, with its configuration in
/etc/natbridge/natbridged.ini. natbridge-probe checks a running relay.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnatbridge-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libmariadb-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "cmake | pkgconf")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"C++ server framework of the natbridge relay (static library)
The framework natbridge is built on: strings and containers, an OS layer,
logging, INI files, an epoll TCP connection manager with timers and a
resolver, an enciphered message layer with remote objects, an HTTP server
and client, and MySQL table access.
.
This package holds the headers, the static library libnatbridge.a, a CMake
package (find_package(natbridge CONFIG) gives natbridge::framework) and
natbridge.pc for pkg-config.")

include(CPack)
