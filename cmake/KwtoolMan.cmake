# Writes kwtool.1 (and kwtool.1.gz) from kwtool's own help: the general help
# through help2man, then one subsection per command from `kwtool COMMAND --help`.
# cmake -DKWTOOL=... -DHELP2MAN=... -DVERSION=... -DOUT=... -DWORK=... -P KwtoolMan.cmake

# Keep the tool away from the machine's settings and the user's trace files.
file(MAKE_DIRECTORY ${WORK})
set(ENV{KW_REGISTRY_DIR} ${WORK})
set(ENV{XDG_DATA_HOME} ${WORK})

execute_process(COMMAND ${KWTOOL} --help OUTPUT_VARIABLE general RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kwtool --help failed (${rc})")
endif()
# The first line lists the commands: "usage: kwtool encode|decode|... [--help] ..."
set(commands "")
if(general MATCHES "[Uu]sage: kwtool ([a-z|-]+)")
  string(REPLACE "|" ";" commands "${CMAKE_MATCH_1}")
else()
  message(WARNING "kwtool --help shows no command list: the man page has no COMMANDS section")
endif()

# roff: a backslash is \e; a line may not start with a dot or an apostrophe.
function(kw_roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include "")
if(commands)
  set(include "[COMMANDS]\n")
endif()
foreach(command IN LISTS commands)
  execute_process(COMMAND ${KWTOOL} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kwtool ${command} --help failed (${rc})")
  endif()
  kw_roff("${help}" help)
  string(APPEND include ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include "[FILES]\n"
  ".TP\n/var/lib/kestrelwright, ~/.config/Kestrelwright\n"
  "The settings store (machine and user); KW_REGISTRY_DIR puts both elsewhere.\n"
  ".TP\n~/.local/share/Kestrelwright/KW\\fIapp\\fR.log\n"
  "Trace files, UTF-16LE; \\fBkwtool log\\fR reads them.\n")
file(WRITE ${WORK}/kwtool.h2m "${include}")

# help2man takes the synopsis from a line starting "Usage:"; kwtool writes "usage:".
file(WRITE ${WORK}/bin/kwtool "#!/bin/sh\n\"${KWTOOL}\" \"$@\" | sed '1s/^usage:/Usage:/'\n")
file(CHMOD ${WORK}/bin/kwtool PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
          "--name=command-line front end of the kwbase library"
          --section=1 --source=kwbase --include=${WORK}/kwtool.h2m --output=${OUT} ${WORK}/bin/kwtool
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed (${rc})")
endif()
execute_process(COMMAND gzip -9nc ${OUT} OUTPUT_FILE ${OUT}.gz RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed (${rc})")
endif()
