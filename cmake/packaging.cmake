# Debian packages of the install components, built by CPack (scripts/package.sh runs it):
#
#   snmp-marluxa-ac-power        component "plugin": the plug-in module, for the supervision
#                                unit (built for armhf with the cross toolchain, and for the
#                                build machine); Multi-Arch: same, as it lives in the multiarch
#                                library folder;
#   snmp-marluxa-ac-power-tools  component "tools": qrmhost, pdusim, the reference host library,
#                                the README and its docs/, the two commands' manual pages and
#                                the alarm catalogue as CSV and JSON, for the integrator's own
#                                machine and (armhf) for the unit itself.
#
# Each package has its own doc folder, /usr/share/doc/<package>, with the copyright file
# (packaging/copyright) and changelog.Debian.gz (packaging/changelog.in), and its lintian
# overrides (packaging/lintian-overrides).
#
# Depends is computed by dpkg-shlibdeps from each package's ELF files: their DT_NEEDED entries,
# mapped to the installed packages that ship those libraries. The plug-in needs net-snmp, the
# C++ runtime and libc; the host framework's symbols and jsoncpp's are left undefined in it
# (the host process supplies them), so neither jsoncpp nor the reference host becomes a
# dependency. In a cross build dpkg-shlibdeps must look at the target's libraries:
# scripts/package.sh runs cpack with DEB_HOST_ARCH set to the target architecture.
#
# Reproducible: every time in the packages comes from SOURCE_DATE_EPOCH (from the environment,
# else the last commit's time): file times (cmake/deb_times.cmake sets them, as cpack runs with
# it in the environment), the changelog's date and the manual pages' date. Compressed files are written without name or time.
#
# The release in the version: a package is built on one Debian release, for that release's
# libraries (net-snmp's package and its time_t differ between releases on armhf), and says so:
# 1.0.0-1+deb12u1 on Debian 12, 1.0.0-1+deb13u1 on Debian 13, 1.0.0-1+deb14u1 on unstable (where
# Debian 14 is made), so a later release's package is also the newer version. Its changelog
# entry names the same version and the release's distribution.
#
# QRM_PACKAGE_COMPONENTS selects what cpack packages (the armhf build packages the plug-in only).
set(QRM_PACKAGE_COMPONENTS "plugin;tools" CACHE STRING "install components that cpack packages")
# The Maintainer field: DEBFULLNAME and DEBEMAIL as dch reads them, when both are set.
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(qrm_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(qrm_maintainer "snmp_marluxa_ac_power maintainers <snmp-marluxa-ac-power@example.org>")
endif()
set(QRM_PACKAGE_MAINTAINER "${qrm_maintainer}"
    CACHE STRING "Maintainer field of the Debian packages and their changelog")

# The time every stamp in the packages is taken from.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QRM_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE QRM_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT QRM_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    string(TIMESTAMP QRM_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()

# QRM_PACKAGE_RELEASE_SUFFIX: AUTO takes the release of the machine that builds (/etc/os-release;
# a cross build is for the same release), anything else is used as written ("" for none).
set(QRM_PACKAGE_RELEASE_SUFFIX AUTO CACHE STRING
    "Debian revision suffix naming the release (AUTO: +debNu1 of the building machine)")
set(qrm_release_suffix "${QRM_PACKAGE_RELEASE_SUFFIX}")
set(QRM_PACKAGE_DISTRIBUTION unstable)
if(qrm_release_suffix STREQUAL "AUTO")
  set(qrm_release_suffix "")
  if(EXISTS /etc/os-release)
    file(STRINGS /etc/os-release qrm_os_release REGEX "^(ID|VERSION_ID|VERSION_CODENAME)=")
    set(qrm_os_id "")
    set(qrm_os_number "")
    set(qrm_os_codename "")
    foreach(line IN LISTS qrm_os_release)
      if(line MATCHES "^ID=\"?([^\"]*)\"?$")
        set(qrm_os_id "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^VERSION_ID=\"?([0-9]+)\"?$")
        set(qrm_os_number "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^VERSION_CODENAME=\"?([a-z]+)\"?$")
        set(qrm_os_codename "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    # Unstable names the release in the making and has no number: the codenames announced.
    set(qrm_debian_numbers bookworm 12 trixie 13 forky 14 duke 15)
    if(qrm_os_id STREQUAL "debian")
      if(qrm_os_number)
        set(QRM_PACKAGE_DISTRIBUTION "${qrm_os_codename}")
      else()
        list(FIND qrm_debian_numbers "${qrm_os_codename}" qrm_at)
        if(qrm_at GREATER_EQUAL 0)
          math(EXPR qrm_at "${qrm_at} + 1")
          list(GET qrm_debian_numbers ${qrm_at} qrm_os_number)
        endif()
      endif()
      if(qrm_os_number)
        set(qrm_release_suffix "+deb${qrm_os_number}u1")
      endif()
    endif()
  endif()
endif()
set(QRM_DEB_RELEASE "1${qrm_release_suffix}")
message(STATUS "packages: version ${PROJECT_VERSION}-${QRM_DEB_RELEASE}, changelog distribution "
               "${QRM_PACKAGE_DISTRIBUTION}")

# Doc folders, one per package; the same files install under any prefix.
set(QRM_DOCDIR_PLUGIN ${CMAKE_INSTALL_DATAROOTDIR}/doc/snmp-marluxa-ac-power)
set(QRM_DOCDIR_TOOLS ${CMAKE_INSTALL_DATAROOTDIR}/doc/snmp-marluxa-ac-power-tools)

# changelog.Debian.gz, dated SOURCE_DATE_EPOCH (string(TIMESTAMP) reads the variable).
set(qrm_earlier_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${QRM_SOURCE_DATE_EPOCH}")
string(TIMESTAMP QRM_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${qrm_earlier_epoch}")
set(qrm_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${qrm_changelog} @ONLY)
add_custom_command(OUTPUT ${qrm_changelog}.gz
  COMMAND sh -c "gzip -9nc \"$1\" >\"$1.gz\"" sh ${qrm_changelog}
  DEPENDS ${qrm_changelog}
  COMMENT "Compressing changelog.Debian" VERBATIM)
add_custom_target(qrm_changelog ALL DEPENDS ${qrm_changelog}.gz)

# lintian's overrides (packaging/lintian-overrides says why), named after each package.
foreach(component plugin tools)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${qrm_changelog}.gz
          DESTINATION ${QRM_DOCDIR_${upper}} COMPONENT ${component})
  get_filename_component(package ${QRM_DOCDIR_${upper}} NAME)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component})
endforeach()
install(FILES README.md DESTINATION ${QRM_DOCDIR_TOOLS} COMPONENT tools)
# The README links into docs/: the installed copy keeps the same relative paths.
install(FILES docs/DESIGN.md docs/DEVELOPMENT.md DESTINATION ${QRM_DOCDIR_TOOLS}/docs
        COMPONENT tools)

# The built qrmhost and pdusim run at build time (the manual pages and the catalogue below are
# made from them): as they are in a native build; in a cross build through the toolchain's
# emulator (qemu-arm), by a script named after the command (help2man takes the page's title
# from the name) that also lets qrmhost find the reference host library in the build tree. So
# the packages of every architecture carry the same pages and catalogue.
set(QRM_TOOLS_RUN OFF)
if(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
  set(QRM_TOOLS_RUN ON)
endif()
foreach(command qrmhost pdusim)
  if(CMAKE_CROSSCOMPILING AND QRM_TOOLS_RUN)
    set(qrm_run_${command} ${CMAKE_BINARY_DIR}/emulated/${command})
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" qrm_emulator)
    file(GENERATE OUTPUT ${qrm_run_${command}}
      CONTENT "#!/bin/sh\nexec \"${qrm_emulator}\" -E LD_LIBRARY_PATH=/usr/${CMAKE_LIBRARY_ARCHITECTURE}/lib:$<TARGET_FILE_DIR:qrmhost_ref> $<TARGET_FILE:${command}> \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                       WORLD_READ WORLD_EXECUTE)
  else()
    set(qrm_run_${command} $<TARGET_FILE:${command}>)
  endif()
endforeach()

# Manual pages of the two commands, made at build time by help2man from their --help and
# --version (so --help stays the one source of the synopsis and the options) and from
# packaging/man/COMMAND.h2m (the device or data file, the output, examples, see also). The
# "Exit status:" part of --help becomes the page's EXIT STATUS section. They are made in the
# build folder's man/ (`man ./build-release/man/qrmhost.1` reads one there). QRM_MAN_PAGES: AUTO
# makes them when help2man is there and the commands run here (natively or emulated), ON
# requires them (`./run test` and `./run demo` install help2man and ask for them).
set(QRM_MAN_PAGES AUTO CACHE STRING "Make the commands' manual pages with help2man: AUTO, ON, OFF")
find_program(QRM_HELP2MAN help2man)
if(QRM_MAN_PAGES STREQUAL "ON" AND (NOT QRM_HELP2MAN OR NOT QRM_TOOLS_RUN))
  message(FATAL_ERROR "QRM_MAN_PAGES=ON needs help2man (Debian package help2man) and a native "
                      "build or a cross build with an emulator")
endif()
set(QRM_MAN_PAGES_MADE OFF)
if(QRM_MAN_PAGES STREQUAL "ON" OR (QRM_MAN_PAGES STREQUAL "AUTO" AND QRM_HELP2MAN
                                   AND QRM_TOOLS_RUN))
  set(QRM_MAN_PAGES_MADE ON)
  set(qrm_man_qrmhost "reference host for the snmp_marluxa_ac_power plug-in")
  set(qrm_man_pdusim "simulator of Marluxa AC power-distribution unit SNMP agents")
  set(qrm_man_pages)
  foreach(command qrmhost pdusim)
    set(page ${CMAKE_BINARY_DIR}/man/${command}.1)
    set(include ${PROJECT_SOURCE_DIR}/packaging/man/${command}.h2m)
    add_custom_command(OUTPUT ${page} ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QRM_SOURCE_DATE_EPOCH} LC_ALL=C.UTF-8
              ${QRM_HELP2MAN} --no-info --section=1 "--name=${qrm_man_${command}}"
              --include=${include} --output=${page}.h2m ${qrm_run_${command}}
      COMMAND sed -e "s/^\\.SS \"Exit status:\"$/.SH \"EXIT STATUS\"/" ${page}.h2m > ${page}
      COMMAND sh -c "gzip -9nc \"$1\" >\"$1.gz\"" sh ${page}
      DEPENDS ${command} ${include}
      COMMENT "Making the manual page of ${command}" VERBATIM)
    list(APPEND qrm_man_pages ${page}.gz)
  endforeach()
  add_custom_target(qrm_man_pages ALL DEPENDS ${qrm_man_pages})
  install(FILES ${qrm_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The alarm catalogue as data files of the tools package (what `qrmhost catalogue --csv` and
# `--json` print), for the network-management side of a site; made by the built qrmhost.
if(QRM_TOOLS_RUN)
  set(qrm_catalogue_dir ${CMAKE_BINARY_DIR}/catalogue)
  set(qrm_catalogue_files ${qrm_catalogue_dir}/catalogue.csv ${qrm_catalogue_dir}/catalogue.json)
  add_custom_command(OUTPUT ${qrm_catalogue_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${qrm_catalogue_dir}
    COMMAND sh -c "\"$1\" catalogue --csv >\"$2/catalogue.csv\" && \"$1\" catalogue --json >\"$2/catalogue.json\""
            sh ${qrm_run_qrmhost} ${qrm_catalogue_dir}
    DEPENDS qrmhost
    COMMENT "Writing the alarm catalogue" VERBATIM)
  add_custom_target(qrm_catalogue ALL DEPENDS ${qrm_catalogue_files})
  install(FILES ${qrm_catalogue_files}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp-marluxa-ac-power-tools COMPONENT tools)
endif()

# The Debian architecture of the binaries: the target's in a cross build.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  set(qrm_arch_query -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH)
else()
  set(qrm_arch_query -qDEB_HOST_ARCH)
endif()
find_program(QRM_DPKG_ARCHITECTURE dpkg-architecture)
if(QRM_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${QRM_DPKG_ARCHITECTURE} ${qrm_arch_query}
    OUTPUT_VARIABLE qrm_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME snmp-marluxa-ac-power)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QRM_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${QRM_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version-release_arch.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QRM_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(qrm_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qrm_deb_arch})
endif()

set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME snmp-marluxa-ac-power)
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION
  "QRM device plug-in for Marluxa AC power-distribution units
snmp_marluxa_ac_power.so, loaded by the QRM host monitoring framework from
its plug-in folder. It walks each unit's subtree over SNMPv2c or SNMPv3
(USM, with authentication and privacy), publishes the 5087-byte device
record every round and reports 429 alarm signals.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME snmp-marluxa-ac-power-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS snmp-marluxa-ac-power)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "reference host and PDU simulator for the Marluxa AC power plug-in
qrmhost loads the plug-in, drives its devices (SNMPv2c or SNMPv3) and
decodes their history files; pdusim simulates the units' SNMPv2c agents on
127.0.0.1. For trying units and configurations before deployment.")

# CPack writes no Multi-Arch field: a script run on the finished packages adds
# "Multi-Arch: same" to the plug-in package's control file (cmake/deb_multiarch.cmake).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_multiarch.cmake)
# Every staged file is dated SOURCE_DATE_EPOCH, whatever its time in this checkout.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_times.cmake)
set(CPACK_QRM_MULTIARCH_SAME snmp-marluxa-ac-power)

include(CPack)
