# Rebuilds a 32-bit DLL's import library so that callers' decorated references (_f@8) import
# the DLL's plain export names (f), as a library linked with --kill-at exports them; the import
# library ld writes itself would offer only the plain symbols, which no caller references.
#   cmake -DDLLTOOL=... -DDEF=ld-output.def -DDLL=name.dll -DIMPLIB=libname.dll.a -P this-file
file(STRINGS "${DEF}" lines)
set(decorated "EXPORTS\n")
foreach(line IN LISTS lines)
  # ld writes "    f = f@8 @3": keep the decorated internal name and the ordinal.
  if(line MATCHES "^[ \t]+[^ \t=]+[ \t]*=[ \t]*(.+)$")
    string(APPEND decorated "    ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^[ \t]+[^ \t]")
    string(APPEND decorated "${line}\n")
  endif()
endforeach()
file(WRITE "${DEF}.decorated" "${decorated}")
get_filename_component(dll_name "${DLL}" NAME)
execute_process(COMMAND "${DLLTOOL}" -k -d "${DEF}.decorated" -D "${dll_name}" -l "${IMPLIB}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DLL}")
endif()
