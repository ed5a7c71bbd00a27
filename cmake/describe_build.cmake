# cmake -DTARGET=FILE -DOUTPUT=FILE -P describe_build.cmake, at build time:
# completes the build's description (TARGET, written by CMake) with what the
# build's own kernel_instructions reports (the kernels of src/fir_kernels.h
# and the sweep's taps) and writes it to
# OUTPUT. It runs the program through the target's emulator, which the
# description itself names.
file(READ ${TARGET} description)
set(command)
string(JSON words LENGTH "${description}" emulator)
if(words GREATER 0)
  math(EXPR last "${words} - 1")
  foreach(i RANGE ${last})
    string(JSON word GET "${description}" emulator ${i})
    list(APPEND command ${word})
  endforeach()
endif()
string(JSON program GET "${description}" programs kernel_instructions)
execute_process(COMMAND ${command} ${program} OUTPUT_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${command} ${program} failed (${status}): the build cannot describe its kernels")
endif()
foreach(key IN ITEMS kernels sweep_taps)
  string(JSON value GET "${report}" ${key})
  string(JSON description SET "${description}" ${key} "${value}")
endforeach()
file(WRITE ${OUTPUT} "${description}\n")

# The kernels' names, one a line, for the board bundle's run script, which
# reads no JSON.
get_filename_component(build_dir ${OUTPUT} DIRECTORY)
string(JSON count LENGTH "${report}" kernels)
math(EXPR last "${count} - 1")
set(names "")
foreach(i RANGE ${last})
  string(JSON name GET "${report}" kernels ${i} name)
  string(APPEND names "${name}\n")
endforeach()
file(WRITE ${build_dir}/kernels "${names}")
