# Installation and the Debian package (make deb): the program, the installers' tools, the systemd
# units, the desktop entry and its launcher. Installed under /usr.
set(_ardentel_programs)
foreach(t ardentel dc09-send dc09-decode automation-sim)
    if(TARGET ${t})
        list(APPEND _ardentel_programs ${t})
    endif()
endforeach()
if(NOT _ardentel_programs)
    return()
endif()
install(TARGETS ${_ardentel_programs} RUNTIME DESTINATION bin)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${_pkg}/ardentel.service ${_pkg}/ardentel@.service DESTINATION lib/systemd/system)
install(FILES ${_pkg}/ardentel.desktop DESTINATION share/applications)
install(PROGRAMS ${_pkg}/ardentel-window DESTINATION libexec/ardentel)
# A native package's changelog, compressed as Debian expects it.
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9nc ${_pkg}/debian/changelog OUTPUT_FILE ${_changelog} RESULT_VARIABLE _gz)
if(_gz EQUAL 0)
    install(FILES ${_changelog} DESTINATION share/doc/ardentel)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/ardentel)
install(FILES ${_pkg}/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME ardentel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ardentel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The maintainer named in the package; give a real address for a package that leaves the house.
set(ARDENTEL_PACKAGE_CONTACT "Ardentel developers <ardentel@localhost>" CACHE STRING "Debian Maintainer field")
set(CPACK_PACKAGE_CONTACT "${ARDENTEL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SIA DC-09 alarm receiver for monitoring centres")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Alarm panels connect over TCP and report SIA DC-09 messages (Contact ID events\n"
    "and link tests, plain or AES-encrypted). The receiver answers each on its\n"
    "connection, keeps a ring journal of events and a table of reporting accounts\n"
    "with supervision time-outs, and forwards every event to the centre's\n"
    "automation software over TCP or a serial port.\n"
    ".\n"
    "It runs as a supervised systemd service (ardentel.service, and the template\n"
    "ardentel@.service for several receivers on one host) or as a desktop window.\n"
    "The installers' tools dc09-send, dc09-decode and automation-sim come with it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser for the service user; socat for the window's virtual serial port pairs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "socat")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_pkg}/debian/postinst ${_pkg}/debian/prerm ${_pkg}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
