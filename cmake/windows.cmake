# The Windows build (included from the top-level CMakeLists.txt when WIN32): the core over the
# Win32 backend, the message and string tables as real resources, the service controller and
# the backend's tests.
enable_language(RC)

if(NOT QUORIL_MC_COMPILER)
  set(QUORIL_MC_COMPILER windmc)
endif()

file(GLOB PLATFORM_SOURCES CONFIGURE_DEPENDS platform/*.cpp platform/win32/*.cpp)

# Headers of Windows: no min/max macros, nothing of what WIN32_LEAN_AND_MEAN leaves out, and
# the interfaces of Windows Vista and later (GetFinalPathNameByHandleA).
set(WINDOWS_DEFINITIONS WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)

add_library(quoril_core STATIC ${PLATFORM_SOURCES} ${CORE_SOURCES} ${SERVICE_SOURCES}
                               ${GEN_HEADERS})
target_include_directories(quoril_core PUBLIC ${CMAKE_SOURCE_DIR} ${GEN_DIR})
target_compile_definitions(quoril_core PUBLIC ${WINDOWS_DEFINITIONS})
target_link_libraries(quoril_core PUBLIC Threads::Threads ws2_32 iphlpapi advapi32 user32)

# PCRE2 for the rewrite rules, built as a static library by scripts/pcre2-mingw.sh.
set(QUORIL_PCRE2_ROOT "${CMAKE_BINARY_DIR}/pcre2" CACHE PATH "Where the mingw PCRE2 is installed")
if(NOT EXISTS ${QUORIL_PCRE2_ROOT}/lib/libpcre2-8.a)
  message(FATAL_ERROR "No PCRE2 in ${QUORIL_PCRE2_ROOT}: run scripts/pcre2-mingw.sh first")
endif()
target_include_directories(quoril_core PUBLIC ${QUORIL_PCRE2_ROOT}/include)
target_compile_definitions(quoril_core PUBLIC PCRE2_STATIC)
target_link_libraries(quoril_core PUBLIC ${QUORIL_PCRE2_ROOT}/lib/libpcre2-8.a)

# The JSON library is header-only: its headers are taken from the build host (Debian:
# nlohmann-json3-dev), copied alone so that no other host header reaches the cross build.
find_path(QUORIL_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
file(COPY ${QUORIL_JSON_INCLUDE}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/json-include)
target_include_directories(quoril_core SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/json-include)

# The message table: windmc writes a resource script and one binary block per language, with
# the texts' bytes as they stand in messages.mc (CR LF line ends, kept by .gitattributes).
set(MC_DIR ${CMAKE_BINARY_DIR}/mc)
set(MC_OUTPUTS ${MC_DIR}/messages.rc ${MC_DIR}/messages.h ${MC_DIR}/MSG00409.bin)
add_custom_command(
  OUTPUT ${MC_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MC_DIR}
  COMMAND ${QUORIL_MC_COMPILER} -A -h ${MC_DIR} -r ${MC_DIR} ${CMAKE_SOURCE_DIR}/resources/messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/messages.mc
  COMMENT "Compiling the message table")
add_custom_target(quoril_message_table DEPENDS ${MC_OUTPUTS})

set(RESOURCE_SCRIPT ${CMAKE_SOURCE_DIR}/resources/quorld.rc)
set_source_files_properties(${RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
  "${MC_OUTPUTS};${CMAKE_SOURCE_DIR}/resources/strings.rc;${CMAKE_SOURCE_DIR}/resources/string_ids.h")

# The resources as a library of their own, so that every executable that needs the texts
# (the server and the backend's tests) links the same object.
add_library(quoril_resources OBJECT ${RESOURCE_SCRIPT})
target_include_directories(quoril_resources PRIVATE ${CMAKE_SOURCE_DIR}/resources ${MC_DIR})
add_dependencies(quoril_resources quoril_message_table)

add_executable(quorld service/main.cpp $<TARGET_OBJECTS:quoril_resources>)
target_link_libraries(quorld PRIVATE quoril_core)

add_executable(control_service tools/control_service.cpp)
target_compile_definitions(control_service PRIVATE ${WINDOWS_DEFINITIONS})
target_link_libraries(control_service PRIVATE advapi32)

if(QUORIL_BUILD_TESTS)
  add_subdirectory(tests/windows)
endif()
