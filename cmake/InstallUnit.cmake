# Install-time part of cmake/Packaging.cmake: writes a file that names installed
# paths (the systemd unit, the shutdown hook) for the prefix of this install and
# installs it (DESTDIR and CPack's staging included).
set(_sbindir "${NUVEXMON_SBINDIR}")
if(NOT IS_ABSOLUTE "${_sbindir}")
    set(_sbindir "${CMAKE_INSTALL_PREFIX}/${_sbindir}")
endif()
set(NUVEXMON_DAEMON "${_sbindir}/nuvexmon")
set(NUVEXMON_STOP_POST "${CMAKE_INSTALL_PREFIX}/lib/nuvexmon/stop-post")
# A directory of its own: several installs of one build may run at the same time.
string(RANDOM LENGTH 12 _tag)
set(_dir "${NUVEXMON_WORK_DIR}/unit-${_tag}")
configure_file("${NUVEXMON_UNIT_TEMPLATE}" "${_dir}/${NUVEXMON_UNIT_NAME}" @ONLY)
if(NUVEXMON_UNIT_PROGRAM)
    set(_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                     WORLD_EXECUTE)
else()
    set(_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
file(INSTALL DESTINATION "${NUVEXMON_UNIT_DIR}" TYPE FILE PERMISSIONS ${_permissions}
     FILES "${_dir}/${NUVEXMON_UNIT_NAME}")
file(REMOVE_RECURSE "${_dir}")
