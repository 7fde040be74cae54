# Debian packages, one per install component (`cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr):
#   lumo                      the `lumo` component
#   liblumoshared-dev         the `dev` component
#   liblumoshared<SOVERSION>  the `runtime` component, in a shared build
# Each package's dependencies on other packages come from dpkg-shlibdeps, which reads what its
# binaries link; a static build has no runtime package and links lumo statically.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumoshared)
set(CPACK_PACKAGE_VENDOR "LumoShared")
set(CPACK_PACKAGE_CONTACT "LumoShared developers <dev@lumoshared.io>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sharing library of the Lumo screen-capture product")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://lumoshared.io")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# lumo links the library from this build, which no installed package provides yet: the scan
# looks for it here, and the dependency on its package is the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENTS_ALL lumo dev)
set(CPACK_DEBIAN_LUMO_PACKAGE_NAME lumo)
set(CPACK_DEBIAN_LUMO_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_LUMO_DESCRIPTION
    "share screen captures and files from the command line and the file manager")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME liblumoshared-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "LumoShared: headers, CMake package and pkg-config file")
# The one dependency no binary shows: the public headers include nlohmann/json's.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "nlohmann-json3-dev")
if(BUILD_SHARED_LIBS)
  list(APPEND CPACK_COMPONENTS_ALL runtime)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblumoshared${LUMO_SOVERSION})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "LumoShared: the shared library")
  # A shlibs file, and the ldconfig trigger that comes with it.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_COMPONENT_LUMO_DEPENDS runtime)
  set(CPACK_COMPONENT_DEV_DEPENDS runtime)
endif()
include(CPack)
