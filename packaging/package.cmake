# The Debian package: cpack -G DEB in the build directory gives
# oxnode_<version>_<arch>.deb with its library dependencies computed.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oxnode)
set(CPACK_PACKAGE_VENDOR oxnode)
set(CPACK_PACKAGE_CONTACT "oxnode maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Headless stream relay (TCP, SRT, KCP) and device-fleet service")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/postinst;${CMAKE_CURRENT_LIST_DIR}/prerm;${CMAKE_CURRENT_LIST_DIR}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(CPack)
