# Operations files: the manual pages and the bash completion, generated at
# build time from the programs' own --help (tools/docgen/), and the systemd
# unit with its configuration folder for qrnsecd (server/systemd/).
#
# The unit and the configuration go below the install prefix by default
# (PREFIX/lib/systemd/system, PREFIX/etc/qrnsecd), so a staged install never
# writes into the system; the Debian build passes absolute folders.
set(QRNAUTH_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
  "Where the qrnsecd unit is installed (relative: below the prefix)")
set(QRNAUTH_SYSCONFDIR "${CMAKE_INSTALL_SYSCONFDIR}" CACHE STRING
  "The folder that holds qrnsecd/ (relative: below the prefix)")
option(QRNAUTH_DOCS "Generate the manual pages and the bash completion (needs python3)" ON)

if(IS_ABSOLUTE "${QRNAUTH_SYSCONFDIR}")
  set(QRNSECD_CONFIG_DIR "${QRNAUTH_SYSCONFDIR}/qrnsecd")
else()
  set(QRNSECD_CONFIG_DIR "${CMAKE_INSTALL_PREFIX}/${QRNAUTH_SYSCONFDIR}/qrnsecd")
endif()
set(QRNSECD_BINARY "${CMAKE_INSTALL_FULL_BINDIR}/qrnsecd")

set(QRNAUTH_DOCGEN_DIR ${PROJECT_SOURCE_DIR}/tools/docgen)
set(QRNAUTH_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)

if(QRNAUTH_DOCS)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(WARNING "python3 not found: no manual pages or bash completion")
    set(QRNAUTH_DOCS OFF)
  endif()
endif()

if(QRNAUTH_DOCS)
  set(docgen_common ${QRNAUTH_DOCGEN_DIR}/cli_help.py)
  add_custom_command(
    OUTPUT ${QRNAUTH_DOCS_DIR}/qrnauth.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QRNAUTH_DOCS_DIR}
    COMMAND ${Python3_EXECUTABLE} ${QRNAUTH_DOCGEN_DIR}/manpage.py qrnauth $<TARGET_FILE:qrnauth_cli>
      ${QRNAUTH_DOCGEN_DIR}/qrnauth.1.in ${QRNAUTH_DOCS_DIR}/qrnauth.1 ${PROJECT_VERSION}
    DEPENDS qrnauth_cli ${docgen_common} ${QRNAUTH_DOCGEN_DIR}/manpage.py ${QRNAUTH_DOCGEN_DIR}/qrnauth.1.in
    COMMENT "Generating qrnauth.1 from qrnauth --help"
    VERBATIM)
  add_custom_command(
    OUTPUT ${QRNAUTH_DOCS_DIR}/qrnauth.bash
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QRNAUTH_DOCS_DIR}
    COMMAND ${Python3_EXECUTABLE} ${QRNAUTH_DOCGEN_DIR}/completion.py $<TARGET_FILE:qrnauth_cli>
      ${QRNAUTH_DOCS_DIR}/qrnauth.bash
    DEPENDS qrnauth_cli ${docgen_common} ${QRNAUTH_DOCGEN_DIR}/completion.py
    COMMENT "Generating the bash completion of qrnauth"
    VERBATIM)
  set(docs_outputs ${QRNAUTH_DOCS_DIR}/qrnauth.1 ${QRNAUTH_DOCS_DIR}/qrnauth.bash)
  if(TARGET qrnsecd)
    add_custom_command(
      OUTPUT ${QRNAUTH_DOCS_DIR}/qrnsecd.8
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QRNAUTH_DOCS_DIR}
      COMMAND ${Python3_EXECUTABLE} ${QRNAUTH_DOCGEN_DIR}/manpage.py qrnsecd $<TARGET_FILE:qrnsecd>
        ${QRNAUTH_DOCGEN_DIR}/qrnsecd.8.in ${QRNAUTH_DOCS_DIR}/qrnsecd.8 ${PROJECT_VERSION}
      DEPENDS qrnsecd ${docgen_common} ${QRNAUTH_DOCGEN_DIR}/manpage.py ${QRNAUTH_DOCGEN_DIR}/qrnsecd.8.in
      COMMENT "Generating qrnsecd.8 from qrnsecd --help"
      VERBATIM)
    list(APPEND docs_outputs ${QRNAUTH_DOCS_DIR}/qrnsecd.8)
  endif()
  add_custom_target(qrnauth_docs ALL DEPENDS ${docs_outputs})

  install(FILES ${QRNAUTH_DOCS_DIR}/qrnauth.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${QRNAUTH_DOCS_DIR}/qrnauth.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME qrnauth)
  if(TARGET qrnsecd)
    install(FILES ${QRNAUTH_DOCS_DIR}/qrnsecd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endif()

if(TARGET qrnsecd)
  configure_file(server/systemd/qrnsecd.service.in ${QRNAUTH_DOCS_DIR}/qrnsecd.service @ONLY)
  configure_file(server/systemd/qrnsecd.conf.in ${QRNAUTH_DOCS_DIR}/qrnsecd.conf @ONLY)
  install(FILES ${QRNAUTH_DOCS_DIR}/qrnsecd.service DESTINATION ${QRNAUTH_SYSTEMD_UNITDIR})
  # The options file may come to name a database: readable by root (systemd
  # reads it before it drops to the service's user) and the admin group only.
  install(FILES ${QRNAUTH_DOCS_DIR}/qrnsecd.conf DESTINATION ${QRNAUTH_SYSCONFDIR}/qrnsecd
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  # The data the service runs with as installed: the sample, to be replaced.
  # The service's user must read it.
  install(FILES data/sample.json DESTINATION ${QRNAUTH_SYSCONFDIR}/qrnsecd RENAME data.json
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# The tests of the generated files find them in the build tree.
if(TARGET cli_docs_test AND TARGET qrnauth_docs)
  add_dependencies(cli_docs_test qrnauth_docs)
endif()
