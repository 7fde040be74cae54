# The `lumo` component: the program and what makes it part of the desktop.
install(TARGETS lumo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lumo)
# A lumo installed outside the system's library folders finds the library beside it.
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} lumo_system_libdir)
if(BUILD_SHARED_LIBS AND lumo_system_libdir EQUAL -1)
  set_target_properties(lumo PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

set(desktop ${PROJECT_SOURCE_DIR}/tools/lumo/desktop)
# "Share link" in the file managers' Open With menu, for any file.
install(FILES ${desktop}/io.lumoshared.LumoShare.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT lumo)
# The same action in Dolphin's context menu (KDE Frameworks 5.85 and later read this folder).
install(FILES ${desktop}/kde-servicemenu.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus
        RENAME io.lumoshared.LumoShare.desktop COMPONENT lumo)
install(FILES ${desktop}/lumo.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME lumo COMPONENT lumo)

# The man page is lumo's own --help and --version, laid out by help2man. A sanitizer build
# would run an instrumented lumo at build time for nothing: only plain builds make it.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP AND NOT LUMO_SANITIZE)
  set(manpage ${PROJECT_BINARY_DIR}/lumo.1.gz)
  add_custom_command(OUTPUT ${manpage}
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
            "--name=share screen captures and files through a LumoShared service"
            --output=${PROJECT_BINARY_DIR}/lumo.1 $<TARGET_FILE:lumo>
    # -n: no time stamp, so that the same sources give the same package.
    COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/lumo.1
    DEPENDS lumo VERBATIM)
  add_custom_target(lumo_manpage ALL DEPENDS ${manpage})
  install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT lumo)
else()
  message(STATUS "lumo's man page is left out (needs help2man and a build without sanitizers)")
endif()
