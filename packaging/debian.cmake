# Linux: the programs keep their own names side by side in libexec/pellor, where upgrade finds
# the progman beside it (through /proc/self/exe, so a link to it does as well); bin/ gets
# pellor-* links to them, since "upgrade", "progman" and "reg" are too generic for a PATH.
include(GNUInstallDirs)
set(pellor_libexec ${CMAKE_INSTALL_LIBEXECDIR}/pellor)
set(pellor_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
install(TARGETS ${pellor_shipped} RUNTIME DESTINATION ${pellor_libexec})
file(RELATIVE_PATH up /${CMAKE_INSTALL_BINDIR} /${pellor_libexec})
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/links)
foreach(program IN LISTS pellor_shipped)
  # Made here and installed as files, so that the install manifest (and so uninstall) has them.
  file(CREATE_LINK ${up}/${program} ${CMAKE_CURRENT_BINARY_DIR}/links/pellor-${program} SYMBOLIC)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/links/pellor-${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Debian wants documents compressed with gzip -9n (no name or time stamp in the header).
find_program(PELLOR_GZIP gzip REQUIRED)
set(PELLOR_MANPAGES AUTO CACHE STRING "Manual pages with scdoc: AUTO (when scdoc is found), ON (required) or OFF")
set_property(CACHE PELLOR_MANPAGES PROPERTY STRINGS AUTO ON OFF)
find_program(PELLOR_SCDOC scdoc)
if(PELLOR_MANPAGES STREQUAL "ON" AND NOT PELLOR_SCDOC)
  message(FATAL_ERROR "PELLOR_MANPAGES=ON needs scdoc (Debian's scdoc package)")
endif()

# A file made by the build: OUTPUT from SOURCE, through scdoc when SCDOC is given, then gzip.
function(pellor_compressed output source)
  cmake_parse_arguments(arg "" "SCDOC" "" ${ARGN})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${source} -DOUTPUT=${output} -DSCDOC=${arg_SCDOC} -DGZIP=${PELLOR_GZIP}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/compress.cmake
    DEPENDS ${source} ${CMAKE_CURRENT_SOURCE_DIR}/compress.cmake VERBATIM)
endfunction()

# Every page is built (so each is checked as it renders); the pages of programs not built here
# are not installed.
set(pellor_made)
set(paged)
if(PELLOR_SCDOC AND NOT PELLOR_MANPAGES STREQUAL "OFF")
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/pellor-*.scd)
  foreach(source IN LISTS pages)
    get_filename_component(page ${source} NAME_WLE)  # pellor-upgrade.8
    string(REGEX MATCH "^pellor-(.*)\\.([1-8])$" named ${page})
    set(man ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
    pellor_compressed(${man} ${source} SCDOC ${PELLOR_SCDOC})
    list(APPEND pellor_made ${man})
    if(CMAKE_MATCH_1 IN_LIST pellor_shipped)
      install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_2})
      list(APPEND paged ${CMAKE_MATCH_1})
    endif()
  endforeach()
  foreach(program IN LISTS pellor_shipped)
    if(NOT program IN_LIST paged)
      message(FATAL_ERROR "${program} is shipped without a manual page (docs/man/pellor-${program}.N.scd)")
    endif()
  endforeach()
endif()

# The documents Debian asks for: the copyright file as it is, the rest compressed.
foreach(doc README.md packaging/changelog)
  get_filename_component(name ${doc} NAME)
  pellor_compressed(${CMAKE_CURRENT_BINARY_DIR}/doc/${name}.gz ${PROJECT_SOURCE_DIR}/${doc})
  list(APPEND pellor_made ${CMAKE_CURRENT_BINARY_DIR}/doc/${name}.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/${name}.gz DESTINATION ${pellor_docdir})
endforeach()
install(FILES copyright DESTINATION ${pellor_docdir})
install(FILES ${PROJECT_SOURCE_DIR}/examples/upgrade.inf DESTINATION ${pellor_docdir}/examples)
add_custom_target(documents ALL DEPENDS ${pellor_made})

# The changelog's newest entry is the release being built.
file(STRINGS changelog newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog has no entry for ${PROJECT_VERSION} at its top: \"${newest}\"")
endif()

# Removes what `cmake --install` installed, as its manifest lists it, and our own directories
# when that leaves them empty.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${CMAKE_BINARY_DIR}/install_manifest.txt
          "-DOWN=${pellor_libexec};${pellor_docdir}/examples;${pellor_docdir}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/uninstall.cmake
  VERBATIM)

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages come from dpkg-shlibdeps (dpkg-dev), not from a list here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary is the first line; this is the rest, in lines of 80 at most.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The icon upgrade brings the Program Manager groups and items of an INF script
forward over DDE; the registry clean-up removes the obsolete entries of an
application server of version 2 or lower. On Linux the Windows machine is
emulated: the Program Manager (pellor-progman) keeps groups and items as
desktop entries, and the registry (pellor-reg) is a pair of SQLite databases.
pellor-infview checks INF scripts.")
