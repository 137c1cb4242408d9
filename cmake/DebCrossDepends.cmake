# CPack project configuration file of a cross build (see cmake/Packaging.cmake):
# works out the Depends field of the .deb when the package is made.
#
# dpkg-shlibdeps cannot run as in a native build: the build machine's package
# database has no libraries of the target architecture. It does have Debian's
# cross libraries (libc6-armhf-cross and the like, under /usr/<triplet>/lib)
# with their shlibs and symbols files, so dpkg-shlibdeps is run on the built
# program against those, and their names are turned into the target's own
# (libc6:armhf -> libc6, libgcc-s1-armhf-cross -> libgcc-s1). A package whose
# shlibs file gives no version takes it from the fallback list. When
# dpkg-shlibdeps fails, the fallback list is used whole.

if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_NUVEXMON_CROSS_DEPENDS_INPUT)
    return()
endif()
include("${CPACK_NUVEXMON_CROSS_DEPENDS_INPUT}")

# "name (>= version)" entries of a Depends list, by package name.
function(_nuvexmon_versions list prefix)
    string(REPLACE "," ";" entries "${list}")
    foreach(entry IN LISTS entries)
        string(STRIP "${entry}" entry)
        if(entry MATCHES "^([^ (]+) *\\((.*)\\)$")
            set(${prefix}_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}" PARENT_SCOPE)
        endif()
    endforeach()
endfunction()

set(_depends "")
find_program(_shlibdeps dpkg-shlibdeps)
if(_shlibdeps AND EXISTS "${NUVEXMON_DEB_BINARY}")
    # dpkg-shlibdeps wants to run in a source package: an empty debian/control does.
    file(MAKE_DIRECTORY "${NUVEXMON_DEB_WORK_DIR}/debian")
    file(TOUCH "${NUVEXMON_DEB_WORK_DIR}/debian/control")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -E env "DEB_HOST_ARCH=${NUVEXMON_DEB_ARCH}" "${_shlibdeps}" -O
                "-l${NUVEXMON_DEB_CROSS_LIBDIR}" "${NUVEXMON_DEB_BINARY}"
        WORKING_DIRECTORY "${NUVEXMON_DEB_WORK_DIR}"
        OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _failed)
    if(NOT _failed AND _out MATCHES "shlibs:Depends=([^\n]+)")
        set(_raw "${CMAKE_MATCH_1}")
        string(REPLACE ":${NUVEXMON_DEB_ARCH}" "" _raw "${_raw}")
        string(REPLACE "-${NUVEXMON_DEB_ARCH}-cross" "" _raw "${_raw}")
        _nuvexmon_versions("${NUVEXMON_DEB_FALLBACK_DEPENDS}" _fallback)
        string(REPLACE "," ";" _entries "${_raw}")
        set(_fixed "")
        foreach(_entry IN LISTS _entries)
            string(STRIP "${_entry}" _entry)
            if(NOT _entry MATCHES "\\(" AND DEFINED _fallback_${_entry})
                string(APPEND _entry " (${_fallback_${_entry}})")
            endif()
            list(APPEND _fixed "${_entry}")
        endforeach()
        list(JOIN _fixed ", " _depends)
    else()
        message(WARNING "dpkg-shlibdeps failed (${_err}); using the fallback dependencies")
    endif()
endif()
if(NOT _depends)
    set(_depends "${NUVEXMON_DEB_FALLBACK_DEPENDS}")
endif()
message(STATUS "Depends of the ${NUVEXMON_DEB_ARCH} package: ${_depends}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_depends}")
