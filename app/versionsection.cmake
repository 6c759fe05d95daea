# The version table of the executable: a description file of Key=Value lines becomes a byte
# array in the ELF section .zorbel.version, one NUL-terminated UTF-8 entry per string:
#
#   \VarFileInfo\Translation=040904E4
#   \StringFileInfo\040904E4\CompanyName=Olvandi
#   ...
#
# so `readelf -p .zorbel.version zorbel` lists it and environment/versioninfo.cpp reads it back.
#
# Included from a CMakeLists.txt this file defines zorbel_add_version_section(). The same file
# run with `cmake -P` does the conversion at build time; the bytes go out as hex, so no value
# needs escaping in C++ or in CMake.
#
# Description file rules: blank lines and lines starting with '#' are skipped; spaces and tabs
# around keys and values are dropped; keys are letters and digits; exactly one Translation of
# eight hex digits (language, then code page); every other key is stored under it.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  # Adds the generated source carrying the table of DESCRIPTION_FILE to TARGET.
  function(zorbel_add_version_section TARGET DESCRIPTION_FILE)
    get_filename_component(description "${DESCRIPTION_FILE}" ABSOLUTE)
    set(generated "${CMAKE_CURRENT_BINARY_DIR}/${TARGET}_versionsection.cpp")
    add_custom_command(
      OUTPUT "${generated}"
      COMMAND "${CMAKE_COMMAND}" "-DDESCRIPTION_FILE=${description}" "-DOUTPUT_FILE=${generated}"
              -P "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
      DEPENDS "${description}" "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
      COMMENT "Generating the version table of ${TARGET}"
      VERBATIM)
    target_sources(${TARGET} PRIVATE "${generated}")
  endfunction()
  return()
endif()

# ----- script mode: DESCRIPTION_FILE -> OUTPUT_FILE ------------------------------------------

cmake_minimum_required(VERSION 3.25)

if(NOT DESCRIPTION_FILE OR NOT OUTPUT_FILE)
  message(FATAL_ERROR "versionsection.cmake: pass -DDESCRIPTION_FILE=... -DOUTPUT_FILE=...")
endif()

# Bytes as a list of two-digit lower-case hex numbers.
function(_zorbel_text_to_bytes text out)
  string(HEX "${text}" hex)
  string(REGEX MATCHALL ".." bytes "${hex}")
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# ASCII text from a list of hex bytes; only used on keys and the Translation value, which the
# caller has already checked to be ASCII letters and digits.
function(_zorbel_bytes_to_ascii bytes out)
  set(text "")
  foreach(byte IN LISTS bytes)
    math(EXPR code "0x${byte}")
    string(ASCII ${code} char)
    string(APPEND text "${char}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Drops spaces and tabs at both ends of a list of hex bytes.
function(_zorbel_trim bytes out)
  list(LENGTH bytes count)
  set(first 0)
  while(first LESS count)
    list(GET bytes ${first} byte)
    if(NOT byte STREQUAL "20" AND NOT byte STREQUAL "09")
      break()
    endif()
    math(EXPR first "${first} + 1")
  endwhile()
  set(last ${count})
  while(last GREATER first)
    math(EXPR probe "${last} - 1")
    list(GET bytes ${probe} byte)
    if(NOT byte STREQUAL "20" AND NOT byte STREQUAL "09")
      break()
    endif()
    set(last ${probe})
  endwhile()
  math(EXPR length "${last} - ${first}")
  if(length GREATER 0)
    list(SUBLIST bytes ${first} ${length} trimmed)
  else()
    set(trimmed "")
  endif()
  set(${out} "${trimmed}" PARENT_SCOPE)
endfunction()

file(READ "${DESCRIPTION_FILE}" content HEX)
string(REGEX MATCHALL ".." input "${content}")
# An editor's byte order mark is not part of the first key.
list(LENGTH input input_length)
if(input_length GREATER_EQUAL 3)
  list(SUBLIST input 0 3 head)
  if(head STREQUAL "ef;bb;bf")
    list(REMOVE_AT input 0 1 2)
  endif()
endif()
# A last line without a line feed still counts.
list(APPEND input "0a")

set(translation "")
set(keys "")        # upper-cased, to refuse the same key twice in any spelling
set(strings "")     # per key: its bytes, "3d" ('='), its value's bytes, as one list
set(string_count 0)
set(line "")
set(line_number 0)
foreach(byte IN LISTS input)
  if(NOT byte STREQUAL "0a")
    list(APPEND line ${byte})
    continue()
  endif()
  math(EXPR line_number "${line_number} + 1")
  set(where "${DESCRIPTION_FILE}:${line_number}")
  list(REMOVE_ITEM line "0d")
  _zorbel_trim("${line}" line)
  set(current "${line}")
  set(line "")
  if(current STREQUAL "")
    continue()
  endif()
  list(GET current 0 first)
  if(first STREQUAL "23")
    continue()
  endif()
  list(FIND current "3d" equals)
  if(equals LESS 1)
    message(FATAL_ERROR "${where}: expected Key=Value")
  endif()
  list(SUBLIST current 0 ${equals} key_bytes)
  math(EXPR value_start "${equals} + 1")
  list(LENGTH current line_length)
  set(value_bytes "")
  if(value_start LESS line_length)
    list(SUBLIST current ${value_start} -1 value_bytes)
  endif()
  _zorbel_trim("${key_bytes}" key_bytes)
  _zorbel_trim("${value_bytes}" value_bytes)
  # Letters and digits: 30-39, 41-5a, 61-7a.
  string(REPLACE ";" "" key_hex "${key_bytes}")
  if(NOT key_hex MATCHES "^((3[0-9])|(4[1-9a-f])|(5[0-9a])|(6[1-9a-f])|(7[0-9a]))+$")
    message(FATAL_ERROR "${where}: a key is made of ASCII letters and digits")
  endif()
  if("00" IN_LIST value_bytes)
    message(FATAL_ERROR "${where}: a value cannot hold a NUL byte")
  endif()
  _zorbel_bytes_to_ascii("${key_bytes}" key)
  string(TOUPPER "${key}" key_upper)
  if(key_upper IN_LIST keys)
    message(FATAL_ERROR "${where}: ${key} is given twice")
  endif()
  list(APPEND keys ${key_upper})

  if(key_upper STREQUAL "TRANSLATION")
    string(REPLACE ";" "" value_hex "${value_bytes}")
    list(LENGTH value_bytes digits)
    if(NOT digits EQUAL 8 OR NOT value_hex MATCHES "^((3[0-9])|(4[1-6])|(6[1-6]))+$")
      message(FATAL_ERROR "${where}: Translation is eight hex digits, language then code page")
    endif()
    _zorbel_bytes_to_ascii("${value_bytes}" translation)
    string(TOUPPER "${translation}" translation)
  else()
    set(string_${string_count} ${key_bytes} 3d ${value_bytes})
    math(EXPR string_count "${string_count} + 1")
  endif()
endforeach()

if(translation STREQUAL "")
  message(FATAL_ERROR "${DESCRIPTION_FILE}: no Translation line")
endif()

_zorbel_text_to_bytes("\\VarFileInfo\\Translation=${translation}" section)
list(APPEND section 00)
_zorbel_text_to_bytes("\\StringFileInfo\\${translation}\\" prefix)
if(string_count GREATER 0)
  math(EXPR last "${string_count} - 1")
  foreach(index RANGE ${last})
    list(APPEND section ${prefix} ${string_${index}} 00)
  endforeach()
endif()

# Sixteen bytes a line keeps the generated file readable in a diff.
set(body "")
set(column 0)
foreach(byte IN LISTS section)
  if(column EQUAL 0)
    string(APPEND body "\n   ")
  endif()
  string(APPEND body " 0x${byte},")
  math(EXPR column "(${column} + 1) % 16")
endforeach()

get_filename_component(description_name "${DESCRIPTION_FILE}" NAME)
set(source "// Generated from ${description_name} by versionsection.cmake; edit that file instead.
// NUL-terminated UTF-8 entries; `readelf -p .zorbel.version` lists them.
__attribute__((section(\".zorbel.version\"), used))
const unsigned char kZorbelVersionSection[] = {${body}
};
")

# Rewriting an unchanged file would only trigger a relink.
if(EXISTS "${OUTPUT_FILE}")
  file(READ "${OUTPUT_FILE}" previous)
  if(previous STREQUAL source)
    return()
  endif()
endif()
file(WRITE "${OUTPUT_FILE}" "${source}")
