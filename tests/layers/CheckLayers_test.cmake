# The include check of the layers (cmake/CheckLayers.cmake), on trees made
# here: a later layer's include fails it, in each spelling, with a message
# that names the file and line, the include and the rule; includes of the own
# layer, earlier layers and rimo/ pass; so do the project's own sources.
#
#   cmake -DCHECK=<CheckLayers.cmake> -DLAYERS=<a,b,...> -DSOURCES=<src>
#         -DWORK=<scratch folder> -P CheckLayers_test.cmake

cmake_minimum_required(VERSION 3.25)

string(RANDOM LENGTH 8 suffix)
set(tree "${WORK}/fixture-${suffix}")
file(REMOVE_RECURSE "${tree}")

set(failures "")
macro(fail what)
  string(APPEND failures "  ${what}\n")
endmacro()

# Runs the check on root; sets rc and out.
function(run_check root)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DROOT=${root} -DLAYERS=${LAYERS} -P "${CHECK}"
    RESULT_VARIABLE code OUTPUT_VARIABLE text ERROR_VARIABLE text)
  set(rc "${code}" PARENT_SCOPE)
  set(out "${text}" PARENT_SCOPE)
endfunction()

# Allowed: the own layer, earlier ones (plain, angle and relative), rimo/,
# system headers, and a commented-out include of a later layer.
file(WRITE "${tree}/clean/crypto/Signer.h" "#pragma once\n#include <vector>\n")
file(WRITE "${tree}/clean/crypto/Signer.cpp" [[
#include "crypto/Signer.h"
#include "platform/Utf8.h"
#include <diag/Trace.h>
#  include "../config/DirectoryLibrary.h"
#include "rimo/RimoData.h"
// #include "xml/XmlReader.h"
]])
run_check("${tree}/clean")
if(NOT rc EQUAL 0)
  fail("a clean tree fails the check:\n${out}")
endif()

# Later layers, once in each spelling.
file(WRITE "${tree}/later/crypto/Signer.cpp" "#include \"crypto/Signer.h\"\n#include \"xml/XmlReader.h\"\n")
file(WRITE "${tree}/later/crypto/Chain.h" "#pragma once\n\n#include <component/RimoData.h>\n")
file(WRITE "${tree}/later/crypto/detail/Fetch.cpp" "#include \"../../webcomm/KeloHttpComm.h\"\n")
run_check("${tree}/later")
if(rc EQUAL 0)
  fail("a later layer's include passes the check")
endif()
foreach(offence
    "crypto/Signer.cpp:2: #include \"xml/XmlReader.h\": the crypto layer must not include the later xml layer"
    "crypto/Chain.h:3: #include <component/RimoData.h>: the crypto layer must not include the later component layer"
    "crypto/detail/Fetch.cpp:1: #include \"../../webcomm/KeloHttpComm.h\": the crypto layer must not include the later webcomm layer")
  string(FIND "${out}" "${offence}" at)
  if(at LESS 0)
    fail("not reported: ${offence}")
  endif()
endforeach()
string(FIND "${out}" "(allowed: platform < diag < config < status < crypto)" at)
if(at LESS 0)
  fail("the rule is not named")
endif()
string(REGEX MATCHALL "must not include" reported "${out}")
list(LENGTH reported count)
if(NOT count EQUAL 3)
  fail("${count} offences reported instead of 3:\n${out}")
endif()

run_check("${SOURCES}")
if(NOT rc EQUAL 0)
  fail("the project's sources fail the check:\n${out}")
endif()

file(REMOVE_RECURSE "${tree}")
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "Layer check test failed:\n${failures}")
endif()
