# Locates libgsm (GSM 06.10) and provides the imported target Gsm::gsm.
# The Windows cross build compiles the library from source instead (GsmWin32.cmake).
if(WIN32 AND CMAKE_CROSSCOMPILING)
  include(GsmWin32)
  return()
endif()
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm)
find_library(GSM_LIBRARY NAMES gsm)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Gsm REQUIRED_VARS GSM_LIBRARY GSM_INCLUDE_DIR)
if(Gsm_FOUND AND NOT TARGET Gsm::gsm)
  add_library(Gsm::gsm UNKNOWN IMPORTED)
  set_target_properties(Gsm::gsm PROPERTIES
    IMPORTED_LOCATION "${GSM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GSM_INCLUDE_DIR}")
endif()
mark_as_advanced(GSM_INCLUDE_DIR GSM_LIBRARY)
