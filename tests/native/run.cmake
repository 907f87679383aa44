# Runs one native test program (PROGRAM) and fails unless it exits 0 and reports the inflater INFLATER.
execute_process(COMMAND "${PROGRAM}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (exit ${status})")
endif()
if(NOT out MATCHES "inflater ${INFLATER}")
  message(FATAL_ERROR "${PROGRAM} does not report the inflater ${INFLATER}")
endif()
