# Runs when the project is installed (install(SCRIPT), after packaging/CMakeLists.txt has set
# the QUORIN_* variables): installs the files that name installed paths, written for the prefix
# of this install, and the configuration into the configuration folder of that prefix.
# The configuration folder follows GNUInstallDirs: /etc for the prefixes / and /usr,
# /etc/opt/<name> for /opt/<name>, <prefix>/etc otherwise (an absolute sysconfdir as it is).
# DESTDIR is added by file(INSTALL) itself.

function(quorin_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(path "${dir}")
  else()
    set(path "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  cmake_path(SET path NORMALIZE "${path}")
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

if(QUORIN_SYSCONFDIR STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  set(sysconfdir /etc)
elseif(QUORIN_SYSCONFDIR STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/opt/(.+[^/])/?$")
  set(sysconfdir "/etc/opt/${CMAKE_MATCH_1}")
else()
  quorin_full_path(sysconfdir "${QUORIN_SYSCONFDIR}")
endif()
quorin_full_path(bindir "${QUORIN_BINDIR}")
quorin_full_path(mandir "${QUORIN_MANDIR}")
quorin_full_path(unitdir lib/systemd/system)
quorin_full_path(QUORIN_UDEV_RULES_PATH lib/udev/rules.d)

# What the templates use.
set(QUORIN_BIN_PATH "${bindir}")
set(QUORIN_CONFIG_PATH "${sysconfdir}/quorin")

# A staging folder of this install's own, so that two installs at once never share one.
string(RANDOM LENGTH 16 tag)
set(staged "${QUORIN_STAGING_DIR}-${tag}")
foreach(template quorin.service quorin.8 quorin_cfg.ini.5)
  configure_file("${QUORIN_PACKAGING_SOURCE_DIR}/${template}.in" "${staged}/${template}" @ONLY)
endforeach()

file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${staged}/quorin.service")
file(INSTALL DESTINATION "${mandir}/man8" TYPE FILE FILES "${staged}/quorin.8")
file(INSTALL DESTINATION "${mandir}/man5" TYPE FILE FILES "${staged}/quorin_cfg.ini.5")
file(REMOVE_RECURSE "${staged}")
file(INSTALL DESTINATION "${sysconfdir}/quorin" TYPE FILE
  FILES "${QUORIN_CONFIG_FILE}" "${QUORIN_PACKAGING_SOURCE_DIR}/commands")
