# Finds the Node-API headers without network access: an explicit
# NODE_API_INCLUDE_DIR, the node-api-headers npm package, or the headers that
# come with the Node.js installation that runs the build.
execute_process(
  COMMAND node -p "require('path').resolve(process.execPath, '..', '..', 'include', 'node')"
  OUTPUT_VARIABLE _kavo_node_include OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
find_path(NODE_API_INCLUDE_DIR node_api.h
  HINTS ENV NODE_API_INCLUDE_DIR
        ${PROJECT_SOURCE_DIR}/node_modules/node-api-headers/include
        ${_kavo_node_include}
  PATHS /usr/include/node /usr/local/include/node
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT NODE_API_INCLUDE_DIR)
  message(FATAL_ERROR "Node-API headers (node_api.h) not found; install Node.js with its headers")
endif()
add_library(node_api_headers INTERFACE)
# Node-API version 8; the functions themselves come from the host process.
target_include_directories(node_api_headers SYSTEM INTERFACE ${NODE_API_INCLUDE_DIR})
target_compile_definitions(node_api_headers INTERFACE NAPI_VERSION=8)
