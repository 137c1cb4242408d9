# CPack pre-build script (see cmake/Packaging.cmake): after CPack's own strip,
# removes the .comment and .note sections from the packaged program, as Debian's
# dh_strip does.
if(NOT CPACK_NUVEXMON_STRIP OR NOT CPACK_NUVEXMON_STRIP_FILES)
    return()
endif()
foreach(_file IN LISTS CPACK_NUVEXMON_STRIP_FILES)
    set(_path "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${_file}")
    if(NOT EXISTS "${_path}")
        message(FATAL_ERROR "Nothing to strip at ${_path}")
    endif()
    execute_process(COMMAND "${CPACK_NUVEXMON_STRIP}" --remove-section=.comment
                            --remove-section=.note "${_path}" RESULT_VARIABLE _failed)
    if(_failed)
        message(FATAL_ERROR "Could not strip ${_path}")
    endif()
endforeach()
