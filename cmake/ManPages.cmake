# Man pages, written in scdoc: docs/man/<program>.1.scd, turned into roff by scdoc(1) and
# gzipped. Only with PORTULA_PACKAGING: the everyday build needs no scdoc.
#
#   portula_man_page(TARGET)
#
# Before scdoc reads a page, two words in it are filled in:
#   @PORTULA_VERSION@  the project's version (the page's footer names it);
#   @STATUS_CODES@     the table of docs/man/status-codes.txt (the one installed beside the
#                      README), as an scdoc table, so that the page and the file cannot differ.
# The page is installed into man1 by the folder that calls this, next to the program's own
# install rule.
#
# The same file is the script that makes one page at build time:
#   cmake -DSOURCE=page.1.scd -DSTATUS_FILE=status-codes.txt -DVERSION=1.2.3
#         -DSCDOC=scdoc -DGZIP=gzip -DOUTPUT=page.1 -P ManPages.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  # The project's policies, which functions keep from where they are defined: among them, no
  # @VARIABLE@ expansion in quoted arguments, so that the words to fill in stay words.
  cmake_policy(VERSION 3.22)
endif()

# The rows of the status-code file as scdoc table rows. A row is a line of a code and its
# meaning, two spaces apart; a line indented past the code goes on with the meaning before it;
# the table ends at the first blank line after its rows.
function(portula_status_table file out_var)
  file(READ ${file} text)
  # A list of lines: what a CMake list would take for its own marks is kept aside meanwhile.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<open>" text "${text}")
  string(REPLACE "]" "<close>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(rows)
  set(code)
  set(meaning)
  set(ended FALSE)
  foreach(line IN LISTS lines)
    if(ended)
      break()
    elseif("${line}" MATCHES "^ *([0-9]+)  +([^ ].*)$")
      if(NOT "${code}" STREQUAL "")
        list(APPEND rows "${code}" "${meaning}")
      endif()
      set(code ${CMAKE_MATCH_1})
      set(meaning "${CMAKE_MATCH_2}")
    elseif(NOT "${code}" STREQUAL "" AND "${line}" MATCHES "^      +([^ 0-9].*)$")
      string(APPEND meaning " ${CMAKE_MATCH_1}")
    elseif(NOT "${code}" STREQUAL "" AND "${line}" STREQUAL "")
      set(ended TRUE)
    endif()
  endforeach()
  if(NOT "${code}" STREQUAL "")
    list(APPEND rows "${code}" "${meaning}")
  endif()
  list(LENGTH rows count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${file}: no table of codes")
  endif()
  # No borders; the meaning takes the rest of the width.
  set(table "|[ *n*\n:< *meaning*\n")
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET rows ${i} n)
    list(GET rows ${j} words)
    # scdoc's own marks are taken as text.
    string(REGEX REPLACE "([\\\\*_])" "\\\\\\1" words "${words}")
    string(APPEND table "|  ${n}\n:  ${words}\n")
  endforeach()
  string(REPLACE "<semicolon>" ";" table "${table}")
  string(REPLACE "<open>" "[" table "${table}")
  string(REPLACE "<close>" "]" table "${table}")
  set(${out_var} "${table}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(v SOURCE STATUS_FILE VERSION SCDOC GZIP OUTPUT)
    if(NOT DEFINED ${v})
      message(FATAL_ERROR "ManPages.cmake: -D${v}=... is missing")
    endif()
  endforeach()
  file(READ ${SOURCE} page)
  string(REPLACE "@PORTULA_VERSION@" "${VERSION}" page "${page}")
  if(page MATCHES "@STATUS_CODES@")
    portula_status_table(${STATUS_FILE} table)
    string(REPLACE "@STATUS_CODES@" "${table}" page "${page}")
  endif()
  if(page MATCHES "@[A-Z_]+@")
    message(FATAL_ERROR "${SOURCE}: unknown word ${CMAKE_MATCH_0}")
  endif()
  file(WRITE ${OUTPUT}.scd "${page}")
  execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT}
                  ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "scdoc ${SOURCE}: ${errors}")
  endif()
  # No hyphenation: options, variables and paths must not be split. scdoc says so before .TH,
  # which turns it on again.
  file(READ ${OUTPUT} roff)
  string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" roff "${roff}")
  file(WRITE ${OUTPUT} "${roff}")
  execute_process(COMMAND ${GZIP} -9nf ${OUTPUT} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${OUTPUT} failed")
  endif()
  return()
endif()

set(PORTULA_MAN_SOURCE_DIR ${PROJECT_SOURCE_DIR}/docs/man)
if(PORTULA_PACKAGING)
  find_program(PORTULA_SCDOC scdoc REQUIRED)
  find_program(PORTULA_GZIP gzip REQUIRED)
endif()

function(portula_man_page target)
  if(ARGN)
    message(FATAL_ERROR "portula_man_page(${target}): takes the target alone, not '${ARGN}'")
  endif()
  set(source ${PORTULA_MAN_SOURCE_DIR}/${target}.1.scd)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "portula_man_page(${target}): no page docs/man/${target}.1.scd")
  endif()
  if(NOT PORTULA_PACKAGING)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  # SOURCE_DATE_EPOCH dates the page (scdoc reads it); scripts/package.sh sets it.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${source}
            -DSTATUS_FILE=${PORTULA_MAN_SOURCE_DIR}/status-codes.txt
            -DVERSION=${PROJECT_VERSION} -DSCDOC=${PORTULA_SCDOC} -DGZIP=${PORTULA_GZIP}
            -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
    DEPENDS ${source} ${PORTULA_MAN_SOURCE_DIR}/status-codes.txt
            ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
    COMMENT "Man page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
