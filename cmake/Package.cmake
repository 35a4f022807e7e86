# The Debian package (`make package`, which runs cpack -G DEB in the build
# directory) and its install rules:
#
#   /usr/sbin/wzscsid, /usr/bin/wzscsictl
#   /usr/lib/wzscsi/            the service plug-in and the shared host libraries
#   /usr/lib/wzscsi/drivers/    the real drivers (never the test doubles)
#   /etc/wzscsi/wzscsi.conf     commented defaults of every setting (a conffile)
#   /usr/lib/wzscsi/wzscsi-tgtd the package's tgtd: portal check and stop
#   /lib/systemd/system/        wzscsid.service, wzscsid.socket,
#                               wzscsi-tgtd.service (the package's own tgtd)
#   /usr/share/man/man8/        wzscsid.8, wzscsictl.8
#   /usr/share/doc/wzscsi/      copyright, README.md, operations.md, protocol.md
#
# The libraries are private to the package: nothing else links them, so they
# sit beside the plug-in rather than in the loader's paths, and every binary
# finds them through a RUNPATH relative to itself ($ORIGIN), which also holds
# when the package is unpacked under another root.
if(NOT TARGET wzscsid OR NOT TARGET wzscsictl OR NOT TARGET WzScsiSrv OR NOT TARGET WzScsiSrvLio OR NOT TARGET WzScsiSrvTgt)
  message(STATUS "No package: it needs the apps and the real drivers (WZ_BUILD_APPS, WZ_BUILD_PLUGINS)")
  return()
endif()

set(WZ_INSTALL_PKGLIBDIR lib/wzscsi)
set(WZ_INSTALL_DRIVERDIR ${WZ_INSTALL_PKGLIBDIR}/drivers)
set(_wz_host_libs RnUtils WzCluster WzLib WzXMLMessagesBase WzSession WzSessionServer WzScsiSrvMessages)
set(_wz_drivers WzScsiSrvLio WzScsiSrvTgt WzScsiSrvBStorBlkDev WzScsiSrvBStorDevSnap WzScsiSrvBStorDrvFSBLB)

# sbin and bin are both one level below the prefix: one relative path serves
# both, and the daemon looks for its plug-in and drivers there by default.
set_target_properties(wzscsid wzscsictl PROPERTIES INSTALL_RPATH "$ORIGIN/../${WZ_INSTALL_PKGLIBDIR}")
set_target_properties(WzScsiSrv ${_wz_host_libs} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(${_wz_drivers} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
target_compile_definitions(wzscsid_core PRIVATE WZ_PKGLIBDIR_FROM_BINDIR="../${WZ_INSTALL_PKGLIBDIR}")

install(TARGETS wzscsid RUNTIME DESTINATION sbin)
install(TARGETS wzscsictl RUNTIME DESTINATION bin)
install(TARGETS WzScsiSrv ${_wz_host_libs} LIBRARY DESTINATION ${WZ_INSTALL_PKGLIBDIR})
install(TARGETS ${_wz_drivers} LIBRARY DESTINATION ${WZ_INSTALL_DRIVERDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/wzscsi.conf DESTINATION /etc/wzscsi)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/wzscsid.service ${CMAKE_SOURCE_DIR}/packaging/systemd/wzscsid.socket
              ${CMAKE_SOURCE_DIR}/packaging/systemd/wzscsi-tgtd.service
        DESTINATION /lib/systemd/system)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/wzscsi-tgtd DESTINATION ${WZ_INSTALL_PKGLIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_SOURCE_DIR}/README.md
              ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/protocol.md
        DESTINATION share/doc/wzscsi)

# Man pages are shipped compressed, without a time stamp (gzip -n), so that
# two builds of one source give the same package.
set(_wz_man_pages "")
foreach(page wzscsid.8 wzscsictl.8)
  set(_out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${CMAKE_SOURCE_DIR}/packaging/man/${page} ${_out}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/man/${page}
    VERBATIM)
  list(APPEND _wz_man_pages ${_out})
endforeach()
add_custom_target(wz_man_pages ALL DEPENDS ${_wz_man_pages})
install(FILES ${_wz_man_pages} DESTINATION share/man/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wzscsi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # wzscsi_<version>-<release>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "WzScsi developers <wzscsi@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "SCSI target service: iSCSI storage configured with wzscsictl
wzscsid keeps the configuration of iSCSI targets, their LUNs (files or block
devices) and the initiators mapped to them, serves it through tgtd and saves
every change durably, so that a restart brings the same configuration back.
wzscsictl configures it over a Unix socket.")
# The libraries' packages come from dpkg-shlibdeps (dpkg-dev); tgt is the
# engine the platform driver serves through (its tgtd, run by the package's
# own unit wzscsi-tgtd.service). The kernel-target engine needs
# nothing beyond the kernel itself (configfs and the target modules), so the
# package recommends nothing for it. The cluster mode talks to etcd members
# that may run anywhere: etcd-server is only suggested.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tgt")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "etcd-server, etcd-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Builds the package from this build tree into a scratch directory, unpacks
# and checks it (tests/package/package_test.sh).
if(WZ_BUILD_TESTS)
  add_test(NAME package COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_BINARY_DIR}
                                     ${PROJECT_VERSION})
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 300)
endif()
