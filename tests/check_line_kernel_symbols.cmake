# Fails when an object of the line kernels built for one instruction set
# defines a symbol the linker may merge with a copy from another object (weak
# or unique symbols): a baseline caller could then run the wider instructions.
execute_process(COMMAND nm -A --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]*line_kernel_[a-z0-9]+\\.cpp\\.o[^\n]* [WVu] [^\n]*" shared "${symbols}")
if(shared)
  string(REPLACE ";" "\n" shared "${shared}")
  message(FATAL_ERROR "line kernel objects define mergeable symbols:\n${shared}")
endif()
string(REGEX MATCHALL "line_kernel_[a-z0-9]+\\.cpp\\.o:[^\n]* T [^\n]*KeyLine" kernels "${symbols}")
list(LENGTH kernels count)
if(count EQUAL 0)
  message(FATAL_ERROR "no line kernel found in ${LIBRARY}")
endif()
message(STATUS "${count} line kernels, none with mergeable symbols")
