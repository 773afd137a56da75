# libgsm for the Windows build, compiled from Debian's own `libgsm` source package with the
# settings of Debian's native library, so both builds code the same frames. Provides the
# target Gsm::gsm like the native find module.
#
# The source is fetched once with `apt-get source libgsm` (a deb-src entry is needed, which
# scripts/setup adds) into <build>/_deps; KPX_GSM_SOURCE_DIR may point at an unpacked copy.
set(KPX_GSM_SOURCE_DIR "${CMAKE_BINARY_DIR}/_deps/libgsm" CACHE PATH
    "Unpacked Debian libgsm source package for the Windows build")

if(NOT EXISTS "${KPX_GSM_SOURCE_DIR}/src/gsm_create.c")
  set(_gsm_download "${CMAKE_BINARY_DIR}/_deps/download")
  file(REMOVE_RECURSE "${_gsm_download}")
  file(MAKE_DIRECTORY "${_gsm_download}")
  message(STATUS "Fetching the libgsm source package (apt-get source libgsm)")
  execute_process(COMMAND apt-get source -qq libgsm
                  WORKING_DIRECTORY "${_gsm_download}"
                  RESULT_VARIABLE _gsm_rc OUTPUT_QUIET ERROR_VARIABLE _gsm_err)
  file(GLOB _gsm_unpacked LIST_DIRECTORIES true "${_gsm_download}/libgsm-*")
  list(FILTER _gsm_unpacked EXCLUDE REGEX "\\.(gz|xz|bz2|dsc)$")
  if(NOT _gsm_rc EQUAL 0 OR NOT _gsm_unpacked)
    message(FATAL_ERROR "Could not fetch the libgsm source package (${_gsm_err}). "
                        "Run scripts/setup (it adds the deb-src entry and dpkg-dev), "
                        "or set KPX_GSM_SOURCE_DIR to an unpacked copy.")
  endif()
  list(GET _gsm_unpacked 0 _gsm_dir)
  file(REMOVE_RECURSE "${KPX_GSM_SOURCE_DIR}")
  file(RENAME "${_gsm_dir}" "${KPX_GSM_SOURCE_DIR}")
  file(REMOVE_RECURSE "${_gsm_download}")
endif()

set(_gsm_sources)
foreach(f add code debug decode gsm_create gsm_decode gsm_destroy gsm_encode gsm_explode
          gsm_implode gsm_option gsm_print long_term lpc preprocess rpe short_term table)
  list(APPEND _gsm_sources "${KPX_GSM_SOURCE_DIR}/src/${f}.c")
endforeach()

add_library(kpx_gsm_win32 STATIC ${_gsm_sources})
# The library's private headers stay private; users see only gsm.h.
target_include_directories(kpx_gsm_win32 PRIVATE "${KPX_GSM_SOURCE_DIR}/inc")
file(COPY "${KPX_GSM_SOURCE_DIR}/inc/gsm.h" DESTINATION "${CMAKE_BINARY_DIR}/_deps/gsm-include")
target_include_directories(kpx_gsm_win32 INTERFACE "${CMAKE_BINARY_DIR}/_deps/gsm-include")
target_compile_definitions(kpx_gsm_win32 PRIVATE SASR WAV49 NeedFunctionPrototypes=1)
target_compile_options(kpx_gsm_win32 PRIVATE -O2 -w)
add_library(Gsm::gsm ALIAS kpx_gsm_win32)
set(Gsm_FOUND TRUE)
