# SPDX-License-Identifier: MIT
# Reads src/status_codes.def, the one list of what a printer answers to ^ee,
# and gives the header its names:
#   QUILLBAR_STATUS_DECLARATIONS   the QB_STATUS_* enumerators, with their meaning
set(QUILLBAR_STATUS_FILE ${CMAKE_CURRENT_LIST_DIR}/../src/status_codes.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLBAR_STATUS_FILE})
file(STRINGS ${QUILLBAR_STATUS_FILE} quillbar_status_rows REGEX "^QB_STATUS\\(")
set(QUILLBAR_STATUS_DECLARATIONS "")
foreach(row IN LISTS quillbar_status_rows)
  if(NOT row MATCHES "^QB_STATUS\\((-?[0-9]+), ([A-Z0-9_]+), (-?[0-9]+), \"([a-z -]*)\", \"([^\"]*)\"\\)$")
    message(FATAL_ERROR "src/status_codes.def: cannot read '${row}'")
  endif()
  string(APPEND QUILLBAR_STATUS_DECLARATIONS "    QB_STATUS_${CMAKE_MATCH_2} = ${CMAKE_MATCH_1}, /* ${CMAKE_MATCH_5} */\n")
endforeach()
