# qv_install_gzipped(FILE DESTINATION [COMPONENT comp] [RENAME name]):
# installs FILE compressed as FILE.gz (or name.gz), the form Debian wants man
# pages and changelogs in. gzip -9n keeps neither name nor time stamp in the
# output, so every build makes the same bytes. Without gzip (never on Debian,
# where it is essential) the file goes uncompressed, which man reads too.
include_guard(GLOBAL)
find_program(QV_GZIP gzip)

function(qv_install_gzipped file destination)
  cmake_parse_arguments(arg "" "COMPONENT;RENAME" "" ${ARGN})
  get_filename_component(name "${file}" NAME)
  if(arg_RENAME)
    set(name ${arg_RENAME})
  endif()
  set(component)
  if(arg_COMPONENT)
    set(component COMPONENT ${arg_COMPONENT})
  endif()
  if(NOT QV_GZIP)
    install(FILES ${file} DESTINATION ${destination} RENAME ${name} ${component})
    return()
  endif()
  # One directory per destination: the same name may go to two places.
  string(MAKE_C_IDENTIFIER "${destination}/${name}" id)
  set(dir ${PROJECT_BINARY_DIR}/gzipped/${id})
  add_custom_command(OUTPUT ${dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dir}/${name}
    COMMAND ${QV_GZIP} -9nf ${dir}/${name}
    DEPENDS ${file} VERBATIM)
  add_custom_target(qv_gz_${id} ALL DEPENDS ${dir}/${name}.gz)
  install(FILES ${dir}/${name}.gz DESTINATION ${destination} ${component})
endfunction()
