# Shared build settings for our own targets.

if(PELMORA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(PELMORA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(PELMORA_SANITIZE)
  message(FATAL_ERROR "PELMORA_SANITIZE must be empty, address or thread")
endif()

# Warnings are errors in our own code (never in third-party code).
function(pelmora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A static library of ours.
function(pelmora_library name)
  add_library(${name} STATIC ${ARGN})
  pelmora_warnings(${name})
endfunction()

# Test programs that hold on Windows as on Linux (they use no helper of the posix layer and
# expect no Linux-only behaviour); the Windows build runs them under Wine.
set(PELMORA_WINE_TESTS
  acquisition_station_table_tests
  acquisition_guard_tests
  acquisition_files_tests
  client_response_tests
  console_protocol_tests
  dataserver_md5_tests
  dataserver_safer_tests
  dataserver_seal_tests
  dataserver_records_tests
  dataserver_build_response_tests
  dataserver_connection_race_tests
  driver_halmdrv_tests
  driver_vantagesim_tests
  driver_replaydrv_tests
  service_log_tests
  service_command_line_tests
  win32_base_tests
  win32_buffer_tests
  win32_socket_tests
  win32_threadpool_tests
  win32_socketserver_tests
)

# A test program: one process per test file under CTest, each in its own folder so that
# files made beside the executable (logs, settings) never collide between tests.
#   pelmora_test(NAME name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
function(pelmora_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  pelmora_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE
    PELMORA_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    PELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${T_NAME})
  if(WIN32)
    # The Windows build runs under Wine only the tests that hold on both systems; the rest
    # stay defined (others may refer to them) but are neither built nor run.
    if(NOT T_NAME IN_LIST PELMORA_WINE_TESTS)
      set_target_properties(${T_NAME} PROPERTIES EXCLUDE_FROM_ALL ON)
      return()
    endif()
    list(APPEND T_LABELS wine)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
