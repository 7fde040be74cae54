# Third-party libraries, all from Debian's packages (scripts/setup installs them).
# Each is found once here and exposed as an imported target that subsystems link.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

find_package(CURL QUIET)
find_package(OpenSSL QUIET COMPONENTS Crypto)
find_package(SQLite3 QUIET)
find_package(PNG QUIET)
find_package(ICU QUIET COMPONENTS uc i18n)
find_package(nlohmann_json 3 QUIET)
find_package(CLI11 QUIET)
pkg_check_modules(FFMPEG QUIET IMPORTED_TARGET libavformat libavcodec libavutil libswscale)
# The X clipboard is owned in-process through libxcb (platform layer only).
pkg_check_modules(XCB QUIET IMPORTED_TARGET xcb)
