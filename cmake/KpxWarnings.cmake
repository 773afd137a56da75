# Warnings as errors for every target of ours; never for third-party code.
function(kpx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()
