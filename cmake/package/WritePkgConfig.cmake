# Writes one pkg-config file at install time (see ParleyInstall.cmake).
# In: PARLEY_PC_IN, PARLEY_PC_OUT, PARLEY_PC_PREFIX, PARLEY_PC_LIBDIR,
# PARLEY_PC_INCLUDEDIR (relative to the prefix, or absolute as a packager may
# give them), PARLEY_PC_VERSION, PARLEY_PC_LIBS, PARLEY_PC_REQUIRES.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${PARLEY_PC_${dir}}")
    set(PARLEY_PC_${dir}_PATH "${PARLEY_PC_${dir}}")
  else()
    set(PARLEY_PC_${dir}_PATH "\${prefix}/${PARLEY_PC_${dir}}")
  endif()
endforeach()
configure_file("${PARLEY_PC_IN}" "${PARLEY_PC_OUT}" @ONLY)
