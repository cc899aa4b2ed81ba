# Install and export: find_package(ZEVSiteSDK) and pkg-config from an install prefix.
include(CMakePackageConfigHelpers)
install(DIRECTORY include/ZEVSiteSDK DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/ZEVSiteSDK/ZEVSiteVersion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ZEVSiteSDK)
install(TARGETS ZEVSiteSDK EXPORT ZEVSiteSDKTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT ZEVSiteSDKTargets NAMESPACE ZEVSiteSDK::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK)
configure_package_config_file(cmake/ZEVSiteSDKConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK)
# SQLite, libcurl and pugixml go into Libs.private as plain -l flags rather than as
# Requires.private: pkg-config --static would then pull in libcurl's own private
# libraries (LDAP, Kerberos, RTMP, ...), whose development files Debian's libcurl package
# does not install, and the link fails. The shared libraries of the three link fine.
set(ZEVSITE_PC_DEFINES "")
if(BUILD_SHARED_LIBS)
  set(ZEVSITE_PC_DEFINES " -DZEVSITE_SHARED_LIBRARY")
endif()
configure_file(cmake/zevsite-sdk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
