include(${CMAKE_CURRENT_LIST_DIR}/../HeaderOnly.cmake)
pelmora_header_only(TARGET CLI11::CLI11 FOLDER CLI)
set(CLI11_FOUND TRUE)
