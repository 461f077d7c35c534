# The installed ELF objects carry no .comment section. Every object file the compiler writes
# (and the C library's start files) brings one, holding the compiler's version string, and the
# linker merges them into the output; nothing reads it, and Debian's checks (lintian) count it as
# an unneeded section. qrm_drop_comment_section(TARGET) removes it right after each link, so the
# build tree, an install and the packages all hold the same file.
function(qrm_drop_comment_section target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy (binutils) is needed to build ${target}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
