# Warnings as errors for every target of ours (never for third-party code), and how programs link.
function(kpx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# The programs carry their own copy of the C++ runtime: a long-running server or relay then
# holds about a megabyte less (the shared library's touched pages), and a gateway starts
# with fewer relocations. Not under the sanitizers, which bring their own runtime.
option(KPX_STATIC_CXXRT "Link the C++ runtime statically into the programs" ON)
function(kpx_program target)
  kpx_warnings(${target})
  if(KPX_STATIC_CXXRT AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
