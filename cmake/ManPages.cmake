# Man pages made from a program's own --help and --version with help2man, so that they cannot
# drift from what the program says. Only with PORTULA_PACKAGING: the everyday build needs no
# help2man.
#
#   portula_man_page(TARGET [NAME "one line for the NAME section"] [INCLUDE extra.h2m])
#
# Without NAME, the include file's [NAME] section holds the whole line: help2man takes the
# program's name from the first word of --version, which for the dialog is its product name.
# The page is gzipped and installed into man1 by the folder that calls this, next to the
# program's own install rule.

if(PORTULA_PACKAGING)
  find_program(PORTULA_HELP2MAN help2man REQUIRED)
  find_program(PORTULA_GZIP gzip REQUIRED)
endif()

function(portula_man_page target)
  cmake_parse_arguments(M "" "NAME;INCLUDE" "" ${ARGN})
  if(NOT PORTULA_PACKAGING)
    return()
  endif()
  if(NOT M_NAME AND NOT M_INCLUDE)
    message(FATAL_ERROR "portula_man_page(${target}): NAME or INCLUDE with a [NAME] is required")
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(name_args)
  if(M_NAME)
    set(name_args --name=${M_NAME})
  endif()
  set(include_args)
  set(include_deps)
  if(M_INCLUDE)
    set(include_args --include=${CMAKE_CURRENT_SOURCE_DIR}/${M_INCLUDE})
    set(include_deps ${CMAKE_CURRENT_SOURCE_DIR}/${M_INCLUDE})
  endif()
  # No display and no Qt platform: the dialog's --help and --version must not need one.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
            --unset=QT_QPA_PLATFORM
            ${PORTULA_HELP2MAN} --no-info --section=1 ${name_args} ${include_args}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${PORTULA_GZIP} -9nf ${page}
    DEPENDS ${target} ${include_deps}
    COMMENT "Man page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
