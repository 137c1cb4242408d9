# Install-time part of cmake/Packaging.cmake: writes the systemd unit for the
# prefix of this install and installs it (DESTDIR and CPack's staging included).
set(_sbindir "${NUVEXMON_SBINDIR}")
if(NOT IS_ABSOLUTE "${_sbindir}")
    set(_sbindir "${CMAKE_INSTALL_PREFIX}/${_sbindir}")
endif()
set(NUVEXMON_DAEMON "${_sbindir}/nuvexmon")
# A directory of its own: several installs of one build may run at the same time.
string(RANDOM LENGTH 12 _tag)
set(_dir "${NUVEXMON_WORK_DIR}/unit-${_tag}")
configure_file("${NUVEXMON_UNIT_TEMPLATE}" "${_dir}/${NUVEXMON_UNIT_NAME}" @ONLY)
file(INSTALL DESTINATION "${NUVEXMON_UNIT_DIR}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${_dir}/${NUVEXMON_UNIT_NAME}")
file(REMOVE_RECURSE "${_dir}")
