# Fails when the plug-in's dynamic symbol table defines any symbol.
execute_process(COMMAND nm -D --defined-only ${PLUGIN}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PLUGIN}")
endif()
if(NOT symbols STREQUAL "")
  message(FATAL_ERROR "${PLUGIN} exports symbols:\n${symbols}")
endif()
message(STATUS "${PLUGIN} defines no dynamic symbols")
