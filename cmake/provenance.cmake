# cmake -DSOURCE=DIR -DOUTPUT=FILE -DCOMPILER=... -DFLAGS=... -P provenance.cmake,
# at every build: writes the bundle's provenance (the commit, whether the tree
# was modified, the compiler, the flags and the day) as a header, rewriting it
# only when it changed, so that a build with nothing new rebuilds nothing.
execute_process(COMMAND git rev-parse HEAD WORKING_DIRECTORY ${SOURCE} OUTPUT_VARIABLE commit
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_git ERROR_QUIET)
execute_process(COMMAND git status --porcelain --untracked-files=no WORKING_DIRECTORY ${SOURCE}
                OUTPUT_VARIABLE changes ERROR_QUIET)
if(no_git)
  set(commit "unknown (not built from a git checkout)")
endif()
if(changes STREQUAL "")
  set(modified false)
else()
  set(modified true)
endif()
string(TIMESTAMP day "%Y-%m-%d" UTC)
string(CONCAT header "// Written by cmake/provenance.cmake at build time.\n#pragma once\n"
           "#define FIR_COMMIT \"${commit}\"\n#define FIR_MODIFIED ${modified}\n"
           "#define FIR_COMPILER \"${COMPILER}\"\n#define FIR_FLAGS \"${FLAGS}\"\n#define FIR_BUILD_DATE \"${day}\"\n")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL header)
  file(WRITE ${OUTPUT} "${header}")
endif()
