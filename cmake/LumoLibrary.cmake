# lumoshared: the whole library as one target for hosts, LumoShared::lumoshared both in this tree
# and once installed.
#
# The subsystems stay static libraries of their own, which the tests, benchmarks and fuzz
# targets link one by one. lumoshared is made of their objects, so nothing is compiled twice:
# a static archive by default, a shared library with BUILD_SHARED_LIBS.
add_library(lumoshared)
add_library(LumoShared::lumoshared ALIAS lumoshared)
foreach(subsystem IN LISTS LUMO_SUBSYSTEMS ITEMS support_base)
  if(TARGET lumo_${subsystem})
    target_sources(lumoshared PRIVATE $<TARGET_OBJECTS:lumo_${subsystem}>)
    add_dependencies(lumoshared lumo_${subsystem})
  endif()
endforeach()

target_include_directories(lumoshared PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(lumoshared PUBLIC cxx_std_20)
# The public headers use nlohmann/json and std::thread; the rest is the implementation's.
target_link_libraries(lumoshared
  PUBLIC Threads::Threads nlohmann_json::nlohmann_json
  PRIVATE CURL::libcurl OpenSSL::Crypto SQLite::SQLite3 PNG::PNG ICU::uc ICU::i18n
          PkgConfig::FFMPEG PkgConfig::XCB PkgConfig::WAYLAND_CLIENT
          # The sanitizers' link options, for a shared build; never part of what is installed.
          $<BUILD_INTERFACE:lumo_headers>)
set_target_properties(lumoshared PROPERTIES LINKER_LANGUAGE CXX)

if(BUILD_SHARED_LIBS)
  # Before 1.0 a minor release may change the binary interface, so it is part of the SONAME.
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(LUMO_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  else()
    set(LUMO_SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  set_target_properties(lumoshared PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${LUMO_SOVERSION})
  # Every symbol the objects need must come from a library named above. The sanitizers' runtime
  # is the executable's, so their builds leave the check out.
  if(NOT LUMO_SANITIZE AND NOT LUMO_FUZZ)
    target_link_options(lumoshared PRIVATE -Wl,--no-undefined)
  endif()
endif()
