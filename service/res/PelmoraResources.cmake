# Resources of Pelmora.exe: the manifest (resource type 24) and the message table.
# Included from service/CMakeLists.txt on Windows only.
set(pelmora_res_src ${CMAKE_CURRENT_SOURCE_DIR}/res)
set(pelmora_res_bin ${CMAKE_CURRENT_BINARY_DIR}/res)
file(MAKE_DIRECTORY ${pelmora_res_bin})

# Each message is "%1" and the line break that ends it in the source. The message compiler
# copies that line break as it finds it, and a message-table text ends with CR LF, so it
# reads a copy with CR LF line ends whatever the checkout has.
file(READ ${pelmora_res_src}/Pelmora.mc pelmora_mc)
string(REPLACE "\r\n" "\n" pelmora_mc "${pelmora_mc}")
string(REPLACE "\n" "\r\n" pelmora_mc "${pelmora_mc}")
file(WRITE ${pelmora_res_bin}/Pelmora.mc.tmp "${pelmora_mc}")
configure_file(${pelmora_res_bin}/Pelmora.mc.tmp ${pelmora_res_bin}/Pelmora.mc COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pelmora_res_src}/Pelmora.mc)

find_program(PELMORA_WINDMC NAMES ${CMAKE_MC_COMPILER} x86_64-w64-mingw32-windmc windmc REQUIRED)
find_program(PELMORA_WINDRES NAMES ${CMAKE_RC_COMPILER} x86_64-w64-mingw32-windres windres REQUIRED)

# -A: narrow texts, as the program reports narrow strings.
add_custom_command(
  OUTPUT ${pelmora_res_bin}/PelmoraMessages.bin
  COMMAND ${PELMORA_WINDMC} -A -r ${pelmora_res_bin} -h ${pelmora_res_bin} ${pelmora_res_bin}/Pelmora.mc
  DEPENDS ${pelmora_res_bin}/Pelmora.mc
  WORKING_DIRECTORY ${pelmora_res_bin}
  COMMENT "Compiling the message table"
  VERBATIM)

add_custom_command(
  OUTPUT ${pelmora_res_bin}/Pelmora_res.o
  COMMAND ${PELMORA_WINDRES} -O coff -I ${pelmora_res_src} -I ${pelmora_res_bin}
          -i ${pelmora_res_src}/Pelmora.rc -o ${pelmora_res_bin}/Pelmora_res.o
  DEPENDS ${pelmora_res_src}/Pelmora.rc ${pelmora_res_src}/Pelmora.manifest
          ${pelmora_res_bin}/PelmoraMessages.bin
  WORKING_DIRECTORY ${pelmora_res_bin}
  COMMENT "Compiling the resources of Pelmora.exe"
  VERBATIM)

target_sources(Pelmora PRIVATE ${pelmora_res_bin}/Pelmora_res.o)
