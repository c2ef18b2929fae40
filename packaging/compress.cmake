# Fills in the version and compresses one file the way Debian wants it:
# maximum compression, no name or time stamp inside.
configure_file(${SOURCE} ${OUTPUT}.in @ONLY)
execute_process(COMMAND ${GZIP} -9nf ${OUTPUT}.in RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}.in")
endif()
file(RENAME ${OUTPUT}.in.gz ${OUTPUT})
