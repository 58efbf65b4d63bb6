# Qwt and chmlib ship no CMake package on Debian; wrap each in
# an imported target so the rest of the build links them like any other.

find_path(QWT_INCLUDE_DIR NAMES qwt_plot.h PATH_SUFFIXES qwt qwt-qt5 qwt6)
find_library(QWT_LIBRARY NAMES qwt-qt5 qwt6-qt5 qwt)
if(NOT QWT_INCLUDE_DIR OR NOT QWT_LIBRARY)
    message(FATAL_ERROR "Qwt 6 for Qt 5 not found (Debian: libqwt-qt5-dev)")
endif()
add_library(Qwt::Qwt UNKNOWN IMPORTED)
set_target_properties(Qwt::Qwt PROPERTIES
    IMPORTED_LOCATION "${QWT_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${QWT_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "Qt5::Widgets;Qt5::PrintSupport")
if(WIN32)
    # qwt.dll's classes imported as such: without it a signal's address
    # taken here is not the one inside the DLL, and connecting to it fails
    # at run time ("signal not found").
    set_property(TARGET Qwt::Qwt APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS QWT_DLL)
endif()

find_path(CHM_INCLUDE_DIR NAMES chm_lib.h)
find_library(CHM_LIBRARY NAMES chm)
if(NOT CHM_INCLUDE_DIR OR NOT CHM_LIBRARY)
    message(FATAL_ERROR "chmlib not found (Debian: libchm-dev)")
endif()
add_library(Chm::Chm UNKNOWN IMPORTED)
set_target_properties(Chm::Chm PROPERTIES
    IMPORTED_LOCATION "${CHM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${CHM_INCLUDE_DIR}")

# Workbooks are zipped with zlib (on Windows the static one the toolchain
# builds).
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
# The history reads stream rows with COPY on the driver's own connection.
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)

find_program(CHMCMD_EXECUTABLE NAMES chmcmd)

# The desktop keeps the database password in the desktop's keyring; on
# Windows in the Credential Manager, without Qt Keychain
# (keyringpasswordstore_win.cpp).
if(NOT WIN32)
    find_package(Qt5Keychain REQUIRED)
endif()
