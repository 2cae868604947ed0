# cmake -DSOURCE=FILE -DOUTPUT=FILE.gz [-DSCDOC=scdoc] -DGZIP=gzip -P compress.cmake
# OUTPUT is SOURCE (or the manual page scdoc makes of it) compressed as Debian wants it: gzip
# at its best, with no name or time stamp in the header.
get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(input ${SOURCE})
if(SCDOC)
  string(REGEX REPLACE "\\.gz$" "" input ${OUTPUT})
  execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${input} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${input})
    message(FATAL_ERROR "scdoc failed on ${SOURCE}")
  endif()
endif()
execute_process(COMMAND ${GZIP} -9n -c ${input} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "gzip failed on ${input}")
endif()
