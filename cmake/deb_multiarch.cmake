# Run by cpack after it has written the packages (CPACK_POST_BUILD_SCRIPTS): adds
# "Multi-Arch: same" to the control file of each package named in CPACK_QRM_MULTIARCH_SAME,
# which CPack's DEB generator cannot write. The package is unpacked and built again with
# dpkg-deb, files owned by root, times clamped to SOURCE_DATE_EPOCH when it is set, so the
# result stays reproducible.
find_program(qrm_dpkg_deb dpkg-deb)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(file ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package "${file}")
  if(NOT package IN_LIST CPACK_QRM_MULTIARCH_SAME)
    continue()
  endif()
  if(NOT qrm_dpkg_deb)
    message(FATAL_ERROR "dpkg-deb is needed to mark ${file} Multi-Arch: same")
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${qrm_dpkg_deb} --raw-extract ${deb} ${tree} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${file} failed")
  endif()
  file(READ ${tree}/DEBIAN/control control)
  if(NOT control MATCHES "(^|\n)Multi-Arch:")
    string(STRIP "${control}" control)
    file(WRITE ${tree}/DEBIAN/control "${control}\nMulti-Arch: same\n")
  endif()
  execute_process(
    COMMAND ${qrm_dpkg_deb} --root-owner-group -Zxz --build ${tree} ${deb}
    OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE ${tree})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${file} failed")
  endif()
  message(STATUS "${file}: Multi-Arch: same")
endforeach()
