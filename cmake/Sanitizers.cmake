# CAMERA_SANITIZE is a ;-list of -fsanitize= values, set by the asan and tsan presets.
if(CAMERA_SANITIZE)
  list(JOIN CAMERA_SANITIZE "," _sanitizers)
  add_compile_options(-fsanitize=${_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_sanitizers})
endif()
