# Debian packages made with `cpack -G DEB` from a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package.sh does it all):
#   libtukcloudutils1     the shared library (the package name follows the SONAME)
#   libtukcloudutils-dev  headers, the .so link, the CMake package and the pkg-config file
# The runtime package's dependencies on Qt are computed by dpkg-shlibdeps.

set(TUK_PACKAGE_MAINTAINER
    "TUKCloudUtils maintainers <maintainers@users.noreply.c-seed-fc124619.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(TUK_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(_tuk_runtime_pkg "libtukcloudutils${PROJECT_VERSION_MAJOR}")
set(_tuk_dev_pkg "libtukcloudutils-dev")
set(_tuk_deb_version "${PROJECT_VERSION}-${TUK_PACKAGE_RELEASE}")

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Debian packages: configure with -DCMAKE_INSTALL_PREFIX=/usr for the multiarch "
                   "library folder (now ${CMAKE_INSTALL_LIBDIR})")
endif()

# Every Debian package carries its copyright file and its changelog in /usr/share/doc/<package>.
# They belong to the packages only, not to a plain `cmake --install`.
set(_tuk_deb_dir "${PROJECT_BINARY_DIR}/debian")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${_tuk_deb_dir}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${_tuk_deb_dir}/changelog RESULT_VARIABLE _tuk_gzip)
if(NOT _tuk_gzip EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_tuk_deb_dir}/changelog")
endif()
foreach(_c IN ITEMS runtime:${_tuk_runtime_pkg} Unspecified:${_tuk_dev_pkg})
    string(REPLACE ":" ";" _c "${_c}")
    list(GET _c 0 _component)
    list(GET _c 1 _pkg)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg}
            COMPONENT ${_component} EXCLUDE_FROM_ALL)
    install(FILES ${_tuk_deb_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg}
            RENAME changelog.Debian.gz
            COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libtukcloudutils)
set(CPACK_PACKAGE_VENDOR "TUKCloudUtils developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package names its own summary: the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The library itself goes to "runtime"; its .so link to "devel"; every other install rule
# (headers, CMake package, pkg-config file) has no component and joins "devel" in the -dev package.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL runtime devel Unspecified)
set(CPACK_COMPONENT_DEVEL_GROUP development)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP development)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TUK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TUK_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Descriptions: summary line, then the long text (CPack indents it; an empty line separates
# paragraphs).
string(CONCAT _tuk_about
    "The library gives Qt 5 applications an HTTP client with blocking and callback\n"
    "verbs, streaming downloads and uploads, cookie-carrying helpers that follow\n"
    "redirects, a single-file download manager, a process-wide connectivity\n"
    "monitor, a crash-guarded thread base, and small file and URL helpers.\n\n")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_tuk_runtime_pkg})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file and an ldconfig trigger, as Debian asks of every shared library package. (CPack
# also writes postinst/postrm scripts that call ldconfig; the trigger makes those redundant.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "Qt 5 toolkit for web services and network monitoring\n" "${_tuk_about}"
    "This package contains the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${_tuk_dev_pkg})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${_tuk_runtime_pkg} (= ${_tuk_deb_version}), qtbase5-dev (>= 5.15)")
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "Qt 5 toolkit for web services and network monitoring - development files\n" "${_tuk_about}"
    "This package contains the headers, the CMake package and the pkg-config file.")

include(CPack)
