# The project version, embedded into every executable as an ELF note by executable_version.cpp.
foreach(part MAJOR MINOR PATCH TWEAK)
  set(value "${PROJECT_VERSION_${part}}")
  if(value STREQUAL "")
    set(value 0)
  endif()
  target_compile_definitions(velmar_platform PRIVATE VELMAR_VERSION_${part}=${value})
endforeach()
