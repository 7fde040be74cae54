# What `cmake --install` puts in place, by component, and the Debian packages CPack makes of
# them (one per component):
#   lumo     the command-line host, its desktop entries, man page and bash completion
#   dev      headers, the library or its link name, CMake package and pkg-config files
#   runtime  the shared library, in a shared build (BUILD_SHARED_LIBS), which lumo then links
# A partial configuration (LUMO_ONLY) has nothing to install.
if(LUMO_ONLY)
  return()
endif()
include(CMakePackageConfigHelpers)

set(LUMO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LumoShared)

install(TARGETS lumoshared EXPORT LumoSharedTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lumo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)
install(EXPORT LumoSharedTargets NAMESPACE LumoShared:: DESTINATION ${LUMO_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/LumoSharedConfig.cmake.in
  ${PROJECT_BINARY_DIR}/LumoSharedConfig.cmake INSTALL_DESTINATION ${LUMO_CMAKE_DIR})
# Before 1.0 a minor release may break hosts; a host asking for 0.1 accepts any 0.1.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LumoSharedConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LumoSharedConfig.cmake
              ${PROJECT_BINARY_DIR}/LumoSharedConfigVersion.cmake
        DESTINATION ${LUMO_CMAKE_DIR} COMPONENT dev)

# pkg-config: the file finds its prefix from where it lies, so the same file serves a package
# installed in /usr and a tree installed anywhere with `cmake --install --prefix`. A static
# build is linked with `pkg-config --static`, which adds the libraries it uses, named as the
# system's shared ones; through Requires.private, --static would ask for their own static
# dependencies too, which Debian's -dev packages do not all bring. A shared library names its
# own, so its file lists none.
set(LUMO_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH LUMO_PC_TO_PREFIX /${LUMO_PC_DIR} /)
string(REGEX REPLACE "/$" "" LUMO_PC_TO_PREFIX "${LUMO_PC_TO_PREFIX}")
set(LUMO_PC_PRIVATE "")
if(NOT BUILD_SHARED_LIBS)
  execute_process(
    COMMAND ${PKG_CONFIG_EXECUTABLE} --libs libcurl libcrypto sqlite3 libpng icu-uc icu-i18n
            libavformat libavcodec libavutil libswscale xcb wayland-client
    OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(LUMO_PC_PRIVATE "Libs.private: ${libs} -pthread")
endif()
configure_file(cmake/lumoshared.pc.in ${PROJECT_BINARY_DIR}/lumoshared.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumoshared.pc DESTINATION ${LUMO_PC_DIR} COMPONENT dev)

if(TARGET lumo)
  include(LumoDesktop)
endif()

include(LumoPackaging)
