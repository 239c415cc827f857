# cmake -DPROGRAM=<exe> -DBUDGET=<bytes> [-DCHECK=ON] -P ProgramSize.cmake
# Prints a program's size against its budget; with CHECK, exceeding it fails.
file(SIZE "${PROGRAM}" size)
get_filename_component(name "${PROGRAM}" NAME)
math(EXPR left "${BUDGET} - ${size}")
message(STATUS "${name}: ${size} bytes, budget ${BUDGET} (${left} left)")
if(CHECK AND size GREATER BUDGET)
    message(FATAL_ERROR "${name} is ${size} bytes, over its budget of ${BUDGET}")
endif()
