# Writes brindle-get's man page, bash completion and README option section from its option
# table. Usage: cmake -DDOCS=<brindle-get-docs> -DSOURCE=<source dir> -P CliDocs.cmake
execute_process(COMMAND ${DOCS} man OUTPUT_FILE ${SOURCE}/data/brindle-get.1 COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${DOCS} bash OUTPUT_FILE ${SOURCE}/data/brindle-get.bash
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${DOCS} readme OUTPUT_VARIABLE section COMMAND_ERROR_IS_FATAL ANY)
file(READ ${SOURCE}/README.md readme)
string(FIND "${readme}" "<!-- brindle-get options:" begin)
string(FIND "${readme}" "<!-- end of brindle-get options -->" end)
if(begin EQUAL -1 OR end EQUAL -1)
  message(FATAL_ERROR "README.md lacks the brindle-get option markers")
endif()
string(LENGTH "<!-- end of brindle-get options -->\n" endLength)
math(EXPR after "${end} + ${endLength}")
string(SUBSTRING "${readme}" 0 ${begin} head)
string(SUBSTRING "${readme}" ${after} -1 tail)
file(WRITE ${SOURCE}/README.md "${head}${section}${tail}")
