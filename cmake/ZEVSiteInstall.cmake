# Install and export: find_package(ZEVSiteSDK) and pkg-config from an install prefix.
include(CMakePackageConfigHelpers)
get_target_property(ZEVSITE_LIBRARY_TYPE ZEVSiteSDK TYPE)  # STATIC_LIBRARY or SHARED_LIBRARY
# Three components: "runtime" (the shared library), "development" (headers, the static archive
# or the shared library's link name, the CMake package, pkg-config, the API reference) and
# "collector" (the collector and the demo).
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
          COMPONENT collector)
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
# -lstdc++ and -lm are there for C hosts of the static library, which link with the C
# compiler: the library is C++ (a C++ compiler adds both anyway).
set(ZEVSITE_PC_DEFINES "")
if(ZEVSITE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(ZEVSITE_PC_DEFINES " -DZEVSITE_SHARED_LIBRARY")
endif()
# The prefix is the way up from <prefix>/<libdir>/pkgconfig (../.. or ../../..); directories
# given as absolute paths stay as they are.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZEVSITE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZEVSITE_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(ZEVSITE_PC_PREFIX "\${pcfiledir}/${ZEVSITE_PC_UP}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZEVSITE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ZEVSITE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/zevsite-sdk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zevsite-sdk.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(ZEVSITE_BUILD_DOCS)
  install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT development)
endif()

# Debian packages (cpack -G DEB), one per component: libzevsitesdk0 (the library, named after
# its SONAME as Debian names shared libraries), zevsite-sdk-dev and zevsite-collector.
# scripts/package.sh configures them: -DCMAKE_INSTALL_PREFIX=/usr, so that the library
# directory (lib/<multiarch>) is where the packages install, and
# -DCMAKE_INSTALL_DOCDIR=share/doc/zevsite-sdk-dev for the API reference.
set(ZEVSITE_DEB_LIBRARY libzevsitesdk${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_NAME zevsite-sdk)
set(CPACK_PACKAGE_VENDOR "ZEVSite")
set(CPACK_PACKAGE_CONTACT "ZEVSite SDK maintainers <sdk@zevsite.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_COMPONENTS_ALL runtime development collector)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Each package ships the licence and a changelog as Debian expects them, in
# /usr/share/doc/<package>; only the packages (component installs) get them.
# The copyright file in Debian's machine-readable format, made from LICENSE: the holders, then
# the licence text indented by one space with " ." for its empty lines.
file(STRINGS LICENSE ZEVSITE_LICENSE_LINES)
set(ZEVSITE_LICENSE_TEXT "")
foreach(line IN LISTS ZEVSITE_LICENSE_LINES)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(ZEVSITE_COPYRIGHT "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Permission" OR ZEVSITE_LICENSE_TEXT)
    if(line STREQUAL "")
      string(APPEND ZEVSITE_LICENSE_TEXT " .\n")
    else()
      string(APPEND ZEVSITE_LICENSE_TEXT " ${line}\n")
    endif()
  endif()
endforeach()
string(STRIP "${ZEVSITE_LICENSE_TEXT}" ZEVSITE_LICENSE_TEXT)
set(ZEVSITE_LICENSE_TEXT " ${ZEVSITE_LICENSE_TEXT}")
configure_file(cmake/debian/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/debian-copyright @ONLY)
# A native package's changelog, in Debian's format, pointing at CHANGELOG.md for the details.
# gzip -n leaves the time out of the file, so equal sources give equal packages.
string(TIMESTAMP ZEVSITE_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(cmake/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
                OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
foreach(component runtime development collector)
  string(TOUPPER ${component} upper)
  set(package_name_var CPACK_DEBIAN_${upper}_PACKAGE_NAME)
  if(component STREQUAL "runtime")
    set(${package_name_var} ${ZEVSITE_DEB_LIBRARY})
  elseif(component STREQUAL "development")
    set(${package_name_var} zevsite-sdk-dev)
  else()
    set(${package_name_var} zevsite-collector)
  endif()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian-copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${${package_name_var}}
          RENAME copyright COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${${package_name_var}}
          RENAME changelog.gz COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# The shlibs control file lets packages built against the library depend on it. CPack reads
# only the global switch, not a per-component one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the SDK's own library, which the demo links, in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/ZEVSiteSDK)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "site-analytics SDK for C++ host applications
The ZEVSite SDK reports page views, events, custom actions, start-ups and
pulses of a host application, stores them on the device and delivers them
to a collector. This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "site-analytics SDK for C++ host applications (development files)
Headers, CMake package, pkg-config file and API reference of the ZEVSite
SDK, a C++20 library that reports a host application's usage to a
collector.")
set(CPACK_DEBIAN_COLLECTOR_PACKAGE_SECTION net)
set(CPACK_COMPONENT_COLLECTOR_DESCRIPTION "analytics backend for the ZEVSite SDK
zevsite-collector receives the events of applications that use the ZEVSite
SDK, stores them in SQLite or ClickHouse and serves a summary API and a
dashboard. zevsite-demo shows the SDK at work against an embedded collector.")
# Installed programs and libraries are stripped, as Debian ships them.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The dynamic linker's cache is refreshed through dpkg's ldconfig trigger. The postinst and
# postrm given here replace the ones CPack would write to call ldconfig themselves.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/triggers ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
# The collector's dashboard serves Chart.js from Debian's package. The demo links the SDK's
# library, which dpkg-shlibdeps finds only in the build tree and so leaves out; the other
# dependencies it finds are added to this one.
set(CPACK_DEBIAN_COLLECTOR_PACKAGE_RECOMMENDS libjs-chart.js)
# The collector as a systemd service (not enabled: `systemctl enable --now zevsite-collector`),
# its options a conffile.
if(TARGET zevsite-collector)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/zevsite-collector.service
          DESTINATION /lib/systemd/system COMPONENT collector EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/zevsite-collector.default
          DESTINATION /etc/default RENAME zevsite-collector COMPONENT collector EXCLUDE_FROM_ALL)
  set(CPACK_DEBIAN_COLLECTOR_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles)
endif()
set(CPACK_DEBIAN_COLLECTOR_PACKAGE_DEPENDS "${ZEVSITE_DEB_LIBRARY} (= ${PROJECT_VERSION})")
set(ZEVSITE_DEV_DEPENDS "${ZEVSITE_DEB_LIBRARY} (= ${PROJECT_VERSION})")
if(ZEVSITE_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  # A host linking the static archive links its dependencies too.
  string(APPEND ZEVSITE_DEV_DEPENDS ", libsqlite3-dev, libcurl4-openssl-dev | libcurl-dev"
                                    ", libpugixml-dev, zlib1g-dev")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${ZEVSITE_DEV_DEPENDS})
include(CPack)
