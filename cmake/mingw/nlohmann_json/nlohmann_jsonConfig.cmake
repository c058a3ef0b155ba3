include(${CMAKE_CURRENT_LIST_DIR}/../HeaderOnly.cmake)
pelmora_header_only(TARGET nlohmann_json::nlohmann_json FOLDER nlohmann)
set(nlohmann_json_FOUND TRUE)
