# Debian packages of the install components, built by CPack (scripts/package.sh runs it):
#
#   snmp-marluxa-ac-power        component "plugin": the plug-in module alone, for the
#                                supervision unit (built for armhf with the cross toolchain, and
#                                for the build machine);
#   snmp-marluxa-ac-power-tools  component "tools": qrmhost, pdusim, the reference host library
#                                and the README, for the integrator's own machine.
#
# Depends is computed by dpkg-shlibdeps from each package's ELF files: their DT_NEEDED entries,
# mapped to the installed packages that ship those libraries. The plug-in needs net-snmp, the
# C++ runtime and libc; the host framework's symbols and jsoncpp's are left undefined in it
# (the host process supplies them), so neither jsoncpp nor the reference host becomes a
# dependency. In a cross build dpkg-shlibdeps must look at the target's libraries:
# scripts/package.sh runs cpack with DEB_HOST_ARCH set to the target architecture.
#
# QRM_PACKAGE_COMPONENTS selects what cpack packages (the armhf build packages the plug-in only).
set(QRM_PACKAGE_COMPONENTS "plugin;tools" CACHE STRING "install components that cpack packages")
set(QRM_PACKAGE_MAINTAINER "snmp_marluxa_ac_power maintainers <maintainers@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")

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
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(qrm_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qrm_deb_arch})
endif()

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME snmp-marluxa-ac-power)
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION
  "QRM device plug-in for Marluxa AC power-distribution units
snmp_marluxa_ac_power.so, loaded by the QRM host monitoring framework from
its plug-in folder. It walks each unit's SNMPv2c subtree, publishes the
5087-byte device record every round and reports 429 alarm signals.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME snmp-marluxa-ac-power-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS snmp-marluxa-ac-power)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "reference host and PDU simulator for the Marluxa AC power plug-in
qrmhost loads the plug-in, drives its devices and decodes their history
files; pdusim simulates the units' SNMPv2c agents on 127.0.0.1. For trying
units and configurations before deployment.")

include(CPack)
