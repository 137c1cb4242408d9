# Everything installed besides the daemon, and the Debian package made with CPack.
#
#   cmake --install <build dir> [--prefix ...]     (DESTDIR works)
#   cpack --config <build dir>/CPackConfig.cmake   (or a package-* workflow preset)
#
# The paths the daemon itself uses (configuration, pid file, log) are absolute and
# fixed at build time, so the files tied to them are installed to the same absolute
# paths whatever CMAKE_INSTALL_PREFIX is. The package always installs under /usr.

include(GNUInstallDirs)

set(NUVEXMON_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Directory of the systemd unit")
set(NUVEXMON_LOGROTATE_DIR "/etc/logrotate.d" CACHE PATH "Directory of the logrotate snippet")
set(NUVEXMON_SHUTDOWN_HOOK_DIR "/lib/systemd/system-shutdown" CACHE PATH
    "Directory of systemd's shutdown hooks")
# The daemon's default LogFile; the logrotate snippet and the package's purge use it.
set(NUVEXMON_LOG_FILE "/var/log/nuvexmon.log")
set(NUVEXMON_UNIT nuvexmon.service)
# The unit's RuntimeDirectory, where the outage record lives.
get_filename_component(NUVEXMON_RUNTIME_DIR "${NUVEXMON_RECORD_FILE}" DIRECTORY)

set(_pkg_src "${PROJECT_SOURCE_DIR}/packaging")
set(_pkg_out "${PROJECT_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${_pkg_out}")

find_program(NUVEXMON_GZIP gzip REQUIRED)

# gzip -9n: best compression, no name or time stamp, so the bytes depend only on the input.
function(_nuvexmon_gzip input output)
    execute_process(COMMAND "${NUVEXMON_GZIP}" -9n -c "${input}" OUTPUT_FILE "${output}"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "gzip ${input} failed")
    endif()
endfunction()

# The Debian revision comes from the top entry of packaging/changelog.Debian.in.
file(STRINGS "${_pkg_src}/changelog.Debian.in" _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^nuvexmon \\(([^-]+)-([^)]+)\\)")
    message(FATAL_ERROR "packaging/changelog.Debian.in does not start with a nuvexmon (version-revision) line")
endif()
set(NUVEXMON_DEB_RELEASE "${CMAKE_MATCH_2}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "packaging/changelog.Debian.in is for ${CMAKE_MATCH_1}, the project is "
                    "${PROJECT_VERSION}: add an entry for the new version")
endif()

# Maintainer of the package, signer of its changelog and upstream contact. The
# default is an address under .localhost, which never leaves the machine: lintian
# takes a bare "localhost" for a bogus mail host (an error), but not a name in the
# .localhost domain. Give a real address when the package is published.
set(NUVEXMON_MAINTAINER "nuvexmon developers <developers@nuvexmon.localhost>"
    CACHE STRING "Maintainer field of the package (\"Name <address>\")")

# packaging/copyright gets its Copyright line and the licence text from LICENSE, in
# Debian's machine-readable format: each line indented by one blank, empty lines " .".
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
if(NOT _license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(Permission .*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE is not the MIT licence with one Copyright line")
endif()
set(NUVEXMON_COPYRIGHT "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" NUVEXMON_LICENSE_TEXT "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " NUVEXMON_LICENSE_TEXT " ${NUVEXMON_LICENSE_TEXT}")

# Generated files; configure_file re-runs CMake when a source changes.
configure_file("${_pkg_src}/nuvexmon.8.in" "${_pkg_out}/nuvexmon.8" @ONLY)
configure_file("${_pkg_src}/nuvexmon.conf.5.in" "${_pkg_out}/nuvexmon.conf.5" @ONLY)
configure_file("${_pkg_src}/changelog.Debian.in" "${_pkg_out}/changelog.Debian" @ONLY)
configure_file("${_pkg_src}/copyright.in" "${_pkg_out}/copyright" @ONLY)
_nuvexmon_gzip("${_pkg_out}/nuvexmon.8" "${_pkg_out}/nuvexmon.8.gz")
_nuvexmon_gzip("${_pkg_out}/nuvexmon.conf.5" "${_pkg_out}/nuvexmon.conf.5.gz")
_nuvexmon_gzip("${_pkg_out}/changelog.Debian" "${_pkg_out}/changelog.Debian.gz")

get_filename_component(_conf_dir "${NUVEXMON_CONFIG_FILE}" DIRECTORY)
get_filename_component(_conf_name "${NUVEXMON_CONFIG_FILE}" NAME)

install(FILES "${_pkg_src}/nuvexmon.conf" DESTINATION "${_conf_dir}" RENAME "${_conf_name}")
# The unit names the daemon by its installed path, so it is made when installing:
# "cmake --install --prefix ..." and CPack's staging install get the right one.
install(CODE "
    set(NUVEXMON_UNIT_TEMPLATE [[${_pkg_src}/nuvexmon.service.in]])
    set(NUVEXMON_UNIT_NAME [[${NUVEXMON_UNIT}]])
    set(NUVEXMON_UNIT_DIR [[${NUVEXMON_SYSTEMD_UNIT_DIR}]])
    set(NUVEXMON_SBINDIR [[${CMAKE_INSTALL_SBINDIR}]])
    set(NUVEXMON_PID_FILE [[${NUVEXMON_PID_FILE}]])
    set(NUVEXMON_WORK_DIR [[${_pkg_out}]])
    include([[${PROJECT_SOURCE_DIR}/cmake/InstallUnit.cmake]])
")
# The shutdown hook runs the installed daemon, so it is made when installing too.
install(CODE "
    set(NUVEXMON_UNIT_TEMPLATE [[${_pkg_src}/system-shutdown.in]])
    set(NUVEXMON_UNIT_NAME nuvexmon)
    set(NUVEXMON_UNIT_PROGRAM ON)
    set(NUVEXMON_UNIT_DIR [[${NUVEXMON_SHUTDOWN_HOOK_DIR}]])
    set(NUVEXMON_SBINDIR [[${CMAKE_INSTALL_SBINDIR}]])
    set(NUVEXMON_WORK_DIR [[${_pkg_out}]])
    include([[${PROJECT_SOURCE_DIR}/cmake/InstallUnit.cmake]])
")
install(FILES "${_pkg_src}/nuvexmon.logrotate" DESTINATION "${NUVEXMON_LOGROTATE_DIR}"
        RENAME nuvexmon)
install(FILES "${_pkg_out}/nuvexmon.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${_pkg_out}/nuvexmon.conf.5.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man5")
install(FILES "${_pkg_out}/copyright" "${_pkg_out}/changelog.Debian.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")
# Network UPS Tools set up to serve the state file (StateFile), for the board and for
# the other machines on the same power supply.
install(FILES "${_pkg_src}/nut/ups.conf" "${_pkg_src}/nut/upsd.conf" "${_pkg_src}/nut/upsd.users"
              "${_pkg_src}/nut/upsmon.conf" "${_pkg_src}/nut/upsmon-secondary.conf"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples/nut")
# The shutdown command that hands the board's shutdown to NUT's upsmon (ShutdownCmd
# in the NUT set-up); not a command for users, so not on PATH.
install(PROGRAMS "${_pkg_src}/nut-fsd" DESTINATION "lib/nuvexmon")
# The unit's ExecStopPost: the state file goes when the service stops for good.
configure_file("${_pkg_src}/stop-post.in" "${_pkg_out}/stop-post" @ONLY)
install(PROGRAMS "${_pkg_out}/stop-post" DESTINATION "lib/nuvexmon")
# Users' settings, kept across upgrades that replace the packaged file.
install(DIRECTORY DESTINATION "${_conf_dir}/${_conf_name}.d")
install(FILES "${_pkg_src}/nut/nut-driver@nuvex.service.d/nuvexmon.conf"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples/nut/nut-driver@nuvex.service.d")

# ---------------------------------------------------------------------------------------
# Debian package

# Architecture of the code the compiler makes, not of the build machine.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE NUVEXMON_TARGET_TRIPLET
                OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(NUVEXMON_DPKG_ARCHITECTURE dpkg-architecture)
set(_deb_arch "")
if(NUVEXMON_DPKG_ARCHITECTURE AND NUVEXMON_TARGET_TRIPLET)
    execute_process(COMMAND "${NUVEXMON_DPKG_ARCHITECTURE}" -t "${NUVEXMON_TARGET_TRIPLET}"
                            -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT _deb_arch)
    if(NUVEXMON_TARGET_TRIPLET MATCHES "^x86_64-.*-gnu$")
        set(_deb_arch amd64)
    elseif(NUVEXMON_TARGET_TRIPLET MATCHES "^arm-.*-gnueabihf$")
        set(_deb_arch armhf)
    elseif(NUVEXMON_TARGET_TRIPLET MATCHES "^aarch64-")
        set(_deb_arch arm64)
    endif()
endif()
set(NUVEXMON_DEB_ARCH "${_deb_arch}" CACHE STRING "Debian architecture of the package")

foreach(_script postinst prerm postrm)
    configure_file("${_pkg_src}/${_script}.in" "${_pkg_out}/control/${_script}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file("${_pkg_src}/conffiles.in" "${_pkg_out}/control/conffiles" @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nuvexmon)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NUVEXMON_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UPS board monitor for single-board computers")
set(CPACK_PACKAGE_DESCRIPTION
    "nuvexmon watches an uninterruptible power supply board on the I2C bus of a\n"
    "single-board computer. It logs the board's status, battery voltage and current,\n"
    "runs a command on every change of the power status and, after a while on\n"
    "battery or when the board's button is pressed, tells the board to cut the power\n"
    "after a delay and shuts the system down cleanly.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# Debian packages install under /usr whatever prefix the build was configured with;
# the unit is made for the prefix of the install, so it follows.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_NUVEXMON_STRIP "${CMAKE_STRIP}")
set(CPACK_NUVEXMON_STRIP_FILES "${CMAKE_INSTALL_SBINDIR}/nuvexmon")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebStrip.cmake")
set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_BINARY_DIR}/deb")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${NUVEXMON_DEB_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${NUVEXMON_DEB_ARCH}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "i2c-tools, nut-server, nut-client")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_pkg_out}/control/conffiles;${_pkg_out}/control/postinst;${_pkg_out}/control/prerm;${_pkg_out}/control/postrm")

# Depends: dpkg-shlibdeps reads the build machine's package database, which only
# knows the libraries of a native build. For a cross build, cmake/DebCrossDepends.cmake
# runs it at packaging time against Debian's cross libraries (libc6-armhf-cross and
# the like, with their shlibs and symbols files) and names the target's own packages
# instead; versions their files lack come from NUVEXMON_DEB_FALLBACK_DEPENDS.
if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    if(DEFINED NUVEXMON_CROSS_SYSROOT)
        set(_cross_libdir "${NUVEXMON_CROSS_SYSROOT}/lib")
    else()
        list(GET CMAKE_FIND_ROOT_PATH 0 _cross_root)
        set(_cross_libdir "${_cross_root}/lib")
    endif()
    set(NUVEXMON_DEB_CROSS_LIBDIR "${_cross_libdir}" CACHE PATH
        "The target's shared libraries on the build machine (for dpkg-shlibdeps)")
    string(REGEX MATCH "^[0-9]+" _gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
    set(NUVEXMON_DEB_FALLBACK_DEPENDS
        "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= ${_gcc_major})"
        CACHE STRING "Depends of a cross-built package when dpkg-shlibdeps cannot work it out")
    file(GENERATE OUTPUT "${_pkg_out}/cross-depends-input.cmake"
         CONTENT "set(NUVEXMON_DEB_BINARY \"$<TARGET_FILE:nuvexmon>\")
set(NUVEXMON_DEB_ARCH \"${NUVEXMON_DEB_ARCH}\")
set(NUVEXMON_DEB_CROSS_LIBDIR \"${NUVEXMON_DEB_CROSS_LIBDIR}\")
set(NUVEXMON_DEB_FALLBACK_DEPENDS \"${NUVEXMON_DEB_FALLBACK_DEPENDS}\")
set(NUVEXMON_DEB_WORK_DIR \"${_pkg_out}/shlibdeps\")
")
    set(CPACK_NUVEXMON_CROSS_DEPENDS_INPUT "${_pkg_out}/cross-depends-input.cmake")
    set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/DebCrossDepends.cmake")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
