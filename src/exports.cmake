# Turns the module-definition list `exports` into what each build needs.
#   krzmlc15_export_files(<list file> <out dir> <var for the linker file>
#                         <var for the 32-bit import-library definition>)
# On 32-bit Windows the list is the linker's .def file as it stands, and a
# second .def maps the compilers' decoration (MLCWrite@20) to the exported
# names (_MLCWrite@20) for the import library. On 64-bit Windows functions
# are exported undecorated with the same ordinals. On Linux the names form
# the version script: everything else stays local to the library.
# Writes a generated file only when its content changed, so a new configure
# run does not relink the library.
function(krzmlc15_write_if_changed path content)
  file(WRITE ${path}.tmp "${content}")
  configure_file(${path}.tmp ${path} COPYONLY)
endfunction()

function(krzmlc15_export_files list_file out_dir linker_var implib_var)
  file(STRINGS ${list_file} lines)
  set(names "")
  set(import_entries "")
  set(plain_entries "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+_([A-Za-z0-9_]+)@([0-9]+) = [A-Za-z0-9_]+@[0-9]+ @([0-9]+)")
      set(name ${CMAKE_MATCH_1})
      set(bytes ${CMAKE_MATCH_2})
      set(ordinal ${CMAKE_MATCH_3})
      list(APPEND names ${name})
      string(APPEND import_entries "    ${name}@${bytes} @${ordinal} == _${name}@${bytes}\n")
      string(APPEND plain_entries "    ${name} @${ordinal}\n")
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})

  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    configure_file(${list_file} ${out_dir}/KRZMLC15.def COPYONLY)
    krzmlc15_write_if_changed(${out_dir}/KRZMLC15-import.def "LIBRARY KRZMLC15.dll\nEXPORTS\n${import_entries}")
    set(${linker_var} ${out_dir}/KRZMLC15.def PARENT_SCOPE)
    set(${implib_var} ${out_dir}/KRZMLC15-import.def PARENT_SCOPE)
  elseif(WIN32)
    krzmlc15_write_if_changed(${out_dir}/KRZMLC15.def "LIBRARY KRZMLC15\nEXPORTS\n${plain_entries}")
    set(${linker_var} ${out_dir}/KRZMLC15.def PARENT_SCOPE)
    set(${implib_var} "" PARENT_SCOPE)
  else()
    list(JOIN names ";\n    " joined)
    krzmlc15_write_if_changed(${out_dir}/KRZMLC15.map "{\n  global:\n    ${joined};\n  local:\n    *;\n};\n")
    set(${linker_var} ${out_dir}/KRZMLC15.map PARENT_SCOPE)
    set(${implib_var} "" PARENT_SCOPE)
  endif()
endfunction()
