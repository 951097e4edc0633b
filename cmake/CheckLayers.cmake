# Fails when a source of a layer includes a later layer.
#
#   cmake -DROOT=<folder of the layers> -DLAYERS=<earliest,...,latest>
#         [-DLAYER=<the one layer to check>] [-DSTAMP=<file>] -P CheckLayers.cmake
#
# A layer's .cpp/.h files (below ROOT/<layer>/) may include their own layer,
# the layers before it and anything that is no layer (rimo/, system headers).
# An include names a layer by its first folder ("xml/..." or <xml/...>); one
# that starts with ./ or ../ is taken relative to the including file. Every
# offending line is reported, then the script fails; without any, STAMP is
# touched so that the build runs the check again only when a source changes.

cmake_minimum_required(VERSION 3.25)

foreach(required ROOT LAYERS)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "CheckLayers.cmake needs -D${required}=...")
  endif()
endforeach()
get_filename_component(root "${ROOT}" ABSOLUTE)
string(REPLACE "," ";" order "${LAYERS}")
string(REPLACE ";" " < " orderText "${order}")
if(DEFINED LAYER AND NOT LAYER STREQUAL "")
  set(checked "${LAYER}")
else()
  set(checked "${order}")
endif()

# The layer an include path reaches from file; empty when it reaches none.
function(layer_of_include path file out)
  set(${out} "" PARENT_SCOPE)
  if(path MATCHES "^\\.\\.?/")
    get_filename_component(dir "${file}" DIRECTORY)
    get_filename_component(target "${path}" ABSOLUTE BASE_DIR "${dir}")
    file(RELATIVE_PATH path "${root}" "${target}")
    if(path MATCHES "^\\.\\./")
      return()
    endif()
  endif()
  if(path MATCHES "^([^/]+)/")
    list(FIND order "${CMAKE_MATCH_1}" at)
    if(at GREATER_EQUAL 0)
      set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    endif()
  endif()
endfunction()

set(report "")
foreach(layer IN LISTS checked)
  list(FIND order "${layer}" rank)
  if(rank LESS 0)
    message(FATAL_ERROR "CheckLayers.cmake: ${layer} is not one of the layers ${orderText}")
  endif()
  math(EXPR count "${rank} + 1")
  list(SUBLIST order 0 ${count} allowed)
  string(REPLACE ";" " < " allowedText "${allowed}")
  file(GLOB_RECURSE files "${root}/${layer}/*.cpp" "${root}/${layer}/*.h")
  list(SORT files)
  foreach(file IN LISTS files)
    file(READ "${file}" text)
    # One list element a line: characters that would split or join elements
    # otherwise never matter to an include line.
    string(REGEX REPLACE "[][;\\\\]" "_" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]*)[>\"]")
        continue()
      endif()
      layer_of_include("${CMAKE_MATCH_2}" "${file}" reached)
      if(reached STREQUAL "" OR reached IN_LIST allowed)
        continue()
      endif()
      string(STRIP "${line}" directive)
      # Indented, so that the message keeps one line per offence.
      string(APPEND report "  ${file}:${number}: ${directive}: "
        "the ${layer} layer must not include the later ${reached} layer (allowed: ${allowedText})\n")
    endforeach()
  endforeach()
endforeach()

if(NOT report STREQUAL "")
  message(FATAL_ERROR "Layering check failed. A layer may include only itself, the layers before it "
    "(${orderText}) and include/rimo/:\n${report}")
endif()
if(DEFINED STAMP AND NOT STAMP STREQUAL "")
  file(TOUCH "${STAMP}")
endif()
