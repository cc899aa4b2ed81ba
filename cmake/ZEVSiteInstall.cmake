# Install and export: find_package(ZEVSiteSDK) and pkg-config from an install prefix.
include(CMakePackageConfigHelpers)
get_target_property(ZEVSITE_LIBRARY_TYPE ZEVSiteSDK TYPE)  # STATIC_LIBRARY or SHARED_LIBRARY
# Two components: "runtime" (the shared library and the tools) and "development" (headers,
# the static archive or the shared library's link name, the CMake package, pkg-config).
install(DIRECTORY include/ZEVSiteSDK DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/include/ZEVSiteSDK/ZEVSiteVersion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ZEVSiteSDK COMPONENT development)
install(TARGETS ZEVSiteSDK EXPORT ZEVSiteSDKTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(TARGET zevsite-demo)
  install(TARGETS zevsite-demo zevsite-collector RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT runtime)
endif()
install(EXPORT ZEVSiteSDKTargets NAMESPACE ZEVSiteSDK::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK COMPONENT development)
configure_package_config_file(cmake/ZEVSiteSDKConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZEVSiteSDKConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZEVSiteSDK COMPONENT development)
# SQLite, libcurl and pugixml go into Libs.private as plain -l flags rather than as
# Requires.private: pkg-config --static would then pull in libcurl's own private
# libraries (LDAP, Kerberos, RTMP, ...), whose development files Debian's libcurl package
# does not install, and the link fails. The shared libraries of the three link fine.
set(ZEVSITE_PC_DEFINES "")
if(ZEVSITE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(ZEVSITE_PC_DEFINES " -DZEVSITE_SHARED_LIBRARY")
endif()
configure_file(cmake/zevsite-sdk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Debian packages (cpack -G DEB): zevsite-sdk from "runtime", zevsite-sdk-dev from
# "development". Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the pkg-config file and
# the library directory (lib/<multiarch>) match where the packages install.
set(CPACK_PACKAGE_NAME zevsite-sdk)
set(CPACK_PACKAGE_VENDOR "ZEVSite")
set(CPACK_PACKAGE_CONTACT "ZEVSite SDK maintainers <sdk@zevsite.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEVSite site-analytics SDK for C++ host applications")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME zevsite-sdk)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
# dpkg-shlibdeps finds the SDK's own library, which the tools link, in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/ZEVSiteSDK)
# The collector's dashboard serves Chart.js from Debian's package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS libjs-chart.js)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME zevsite-sdk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(ZEVSITE_DEV_DEPENDS "zevsite-sdk (= ${PROJECT_VERSION})")
if(ZEVSITE_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  # A host linking the static archive links its dependencies too.
  string(APPEND ZEVSITE_DEV_DEPENDS ", libsqlite3-dev, libcurl4-openssl-dev | libcurl-dev"
                                    ", libpugixml-dev")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${ZEVSITE_DEV_DEPENDS})
include(CPack)
