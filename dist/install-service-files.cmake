# Installs the service files. Runs at install time, so the paths written into the unit
# follow the prefix actually installed to: `cmake --install --prefix ...` and CPack's /usr.
# Expects ORVIND_DIST_SOURCE_DIR, ORVIND_DIST_BINARY_DIR, ORVIND_SBINDIR_REL, ORVIND_BINDIR_REL,
# ORVIND_LIBEXECDIR_REL and the optional overrides ORVIND_SYSTEMD_UNITDIR,
# ORVIND_TMPFILESDIR and ORVIND_LOGROTATEDIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")

# The standard places under the prefix; configuration lives in /etc for /usr, as
# GNUInstallDirs does it.
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
    set(sysconfdir "/etc")
    if(prefix STREQUAL "/")
        set(prefix "")
    endif()
else()
    set(sysconfdir "${prefix}/etc")
endif()
set(unitdir "${prefix}/lib/systemd/system")
set(tmpfilesdir "${prefix}/lib/tmpfiles.d")
set(logrotatedir "${sysconfdir}/logrotate.d")
if(ORVIND_SYSTEMD_UNITDIR)
    set(unitdir "${ORVIND_SYSTEMD_UNITDIR}")
endif()
if(ORVIND_TMPFILESDIR)
    set(tmpfilesdir "${ORVIND_TMPFILESDIR}")
endif()
if(ORVIND_LOGROTATEDIR)
    set(logrotatedir "${ORVIND_LOGROTATEDIR}")
endif()

set(ORVIND_SBINDIR "${prefix}/${ORVIND_SBINDIR_REL}")
set(ORVIND_LIBEXECDIR "${prefix}/${ORVIND_LIBEXECDIR_REL}/orvind")
# One staging folder per destination, so that CPack and a `cmake --install` running at
# the same time never write the same file.
string(MD5 destination "$ENV{DESTDIR}|${prefix}")
set(staged "${ORVIND_DIST_BINARY_DIR}/staged/${destination}")
configure_file("${ORVIND_DIST_SOURCE_DIR}/orvind.service.in" "${staged}/orvind.service" @ONLY)
configure_file("${ORVIND_DIST_SOURCE_DIR}/orvind.tmpfiles" "${staged}/orvind.conf" COPYONLY)
set(ORVIND_BINDIR "${prefix}/${ORVIND_BINDIR_REL}")
configure_file("${ORVIND_DIST_SOURCE_DIR}/orvind-metrics.service.in"
    "${staged}/orvind-metrics.service" @ONLY)
configure_file("${ORVIND_DIST_SOURCE_DIR}/orvind.logrotate.in" "${staged}/orvind" @ONLY)

set(data PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(program PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE ${data} FILES "${staged}/orvind.service"
    "${ORVIND_DIST_SOURCE_DIR}/orvind.socket")
file(INSTALL DESTINATION "${unitdir}" TYPE FILE ${data} FILES "${staged}/orvind-metrics.service"
    "${ORVIND_DIST_SOURCE_DIR}/orvind-metrics.timer")
file(INSTALL DESTINATION "${tmpfilesdir}" TYPE FILE ${data} FILES "${staged}/orvind.conf")
file(INSTALL DESTINATION "${logrotatedir}" TYPE FILE ${data} FILES "${staged}/orvind")
# The settings file the unit reads (EnvironmentFile=-/etc/default/orvind).
configure_file("${ORVIND_DIST_SOURCE_DIR}/orvind.default" "${staged}/default/orvind" COPYONLY)
file(INSTALL DESTINATION "${sysconfdir}/default" TYPE FILE ${data} FILES "${staged}/default/orvind")
file(INSTALL DESTINATION "${ORVIND_LIBEXECDIR}" TYPE PROGRAM ${program}
    FILES "${ORVIND_DIST_SOURCE_DIR}/orvind-pidfile")
