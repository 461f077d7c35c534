# Hardened binaries: the distribution's build flags for every target.
#
# With QRM_HARDENING (on by default in Release, RelWithDebInfo and MinSizeRel builds) the flags
# come from dpkg-buildflags with every hardening feature on (DEB_BUILD_MAINT_OPTIONS
# hardening=+all), for the target's Debian architecture: stack protector (strong),
# _FORTIFY_SOURCE, format checks, RELRO with immediate binding (-z relro -z now) and
# position-independent programs (PIE). The build type keeps its own optimisation and debug
# settings: -g and -O levels from dpkg-buildflags are dropped. _FORTIFY_SOURCE is raised from 2
# to 3 (GCC 12 and later; newer dpkg releases do the same): level 3 also checks copies into
# buffers whose size is known only at run time, which level 2 leaves unchecked.
#
# dpkg-buildflags runs in the source folder, so its -ffile-prefix-map maps the source folder to
# "." and no absolute path of this machine reaches the objects. Without dpkg-buildflags (not a
# Debian system) the same flags are used as written below.
include(CheckPIESupported)

if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(qrm_hardening_default ON)
else()
  set(qrm_hardening_default OFF)
endif()
option(QRM_HARDENING "Build with the distribution's hardening flags (dpkg-buildflags)"
       ${qrm_hardening_default})

if(QRM_HARDENING)
  find_program(QRM_DPKG_BUILDFLAGS dpkg-buildflags)
  if(QRM_DPKG_BUILDFLAGS)
    # The target's architecture in a cross build (dpkg-buildflags then answers for it).
    set(qrm_flags_env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
    if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
      execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE qrm_flags_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(qrm_flags_arch)
        list(APPEND qrm_flags_env DEB_HOST_ARCH=${qrm_flags_arch})
      endif()
    endif()
    foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${qrm_flags_env} ${QRM_DPKG_BUILDFLAGS} --get ${kind}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE qrm_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE qrm_status)
      if(NOT qrm_status EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${qrm_status})")
      endif()
    endforeach()
  else()
    message(STATUS "dpkg-buildflags not found: using the built-in hardening flags")
    set(qrm_CPPFLAGS "-Wdate-time -D_FORTIFY_SOURCE=2")
    set(qrm_CFLAGS "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -fstack-protector-strong -Wformat -Werror=format-security")
    set(qrm_CXXFLAGS "${qrm_CFLAGS}")
    set(qrm_LDFLAGS "-Wl,-z,relro -Wl,-z,now")
  endif()

  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    separate_arguments(qrm_${kind} UNIX_COMMAND "${qrm_${kind}}")
    list(FILTER qrm_${kind} EXCLUDE REGEX "^-(g|O.*)$")
  endforeach()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
    list(TRANSFORM qrm_CPPFLAGS REPLACE "^-D_FORTIFY_SOURCE=2$" "-D_FORTIFY_SOURCE=3")
  endif()
  add_compile_options(${qrm_CPPFLAGS} "$<$<COMPILE_LANGUAGE:C>:${qrm_CFLAGS}>"
                      "$<$<COMPILE_LANGUAGE:CXX>:${qrm_CXXFLAGS}>")
  add_link_options(${qrm_LDFLAGS})
  # Programs are linked as PIE (-pie) as well as compiled position-independent.
  check_pie_supported(LANGUAGES CXX)
  list(JOIN qrm_CPPFLAGS " " qrm_shown_cpp)
  list(JOIN qrm_CXXFLAGS " " qrm_shown_cxx)
  list(JOIN qrm_LDFLAGS " " qrm_shown_ld)
  message(STATUS "hardening: ${qrm_shown_cpp} ${qrm_shown_cxx}; linking: ${qrm_shown_ld}")
endif()
