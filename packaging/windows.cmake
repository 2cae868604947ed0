# The Windows archive: the programs at its top, with a README, the licence and the example
# script in Windows' own line ends, so that Notepad shows them as written.
install(TARGETS ${pellor_shipped} RUNTIME DESTINATION .)
foreach(pair README.windows.txt=README.txt copyright=LICENSE.txt ../examples/upgrade.inf=upgrade.inf)
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 source)
  list(GET pair 1 target)
  configure_file(${source} ${CMAKE_CURRENT_BINARY_DIR}/zip/${target} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zip/${target} DESTINATION .)
endforeach()
set(CPACK_GENERATOR ZIP)
