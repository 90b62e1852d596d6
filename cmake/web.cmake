# SPDX-License-Identifier: GPL-2.0-or-later
# The web build, included by CMakeLists.txt under emscripten (emcmake):
#
#   scripts/build-lzo wasm build-web/lzo-prefix
#   emcmake cmake -S . -B build-web && cmake --build build-web -j2
#   ctest --test-dir build-web --output-on-failure
#
# unlzon.js: the program as a module for a page or its worker, one file with
# the WebAssembly inside. One instance runs the program once:
#
#   const m = await createUnlzon({print, printErr, onExit});
#   m.FS.writeFile('/work/NAME', bytes);         // /work exists in every instance
#   const status = m.callMain(['/work/NAME']);  // also given to onExit(status)
#   const image = m.FS.readFile('/work/NAME.nds');
#
# The status is main's own: 0, 1, 3, or -1 where a shell shows 255.
#
# unlzon-node.js: the same program for node on the real file system, which
# behaves as unlzon does: `node unlzon-node.js PATH` (it needs no
# --no-experimental-fetch, and takes it).
#
# native/: unlzon and demo_tool built for this machine, which the tests
# compare the node program with and make their demos with.

# emscripten runs its JavaScript helpers (acorn) with the machine's node,
# which finds Debian's node modules only where it is Debian's own.
set(UNLZON_NODE_PATH "/usr/share/nodejs")
if(DEFINED ENV{NODE_PATH} AND NOT "$ENV{NODE_PATH}" STREQUAL "")
  string(PREPEND UNLZON_NODE_PATH "$ENV{NODE_PATH}:")
endif()
set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK "${CMAKE_COMMAND} -E env NODE_PATH=${UNLZON_NODE_PATH}")

# Both programs: the image is held whole, so memory grows as far as wasm32
# lets it; a larger image fails its allocation, which the program reports.
set(UNLZON_WASM_LINK_OPTIONS
    -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB -sEXIT_RUNTIME=1)

target_link_options(unlzon PRIVATE
  ${UNLZON_WASM_LINK_OPTIONS}
  -sENVIRONMENT=web,worker
  # Inline, so that a page opened from disk needs no second file.
  -sSINGLE_FILE=1
  -sMODULARIZE=1 -sEXPORT_NAME=createUnlzon
  # The page runs main once per instance, on a file it put there first.
  -sINVOKE_RUN=0 -sFORCE_FILESYSTEM=1 "-sEXPORTED_RUNTIME_METHODS=['callMain','FS']"
  --pre-js ${CMAKE_CURRENT_SOURCE_DIR}/src/web/pre.js)
set_property(TARGET unlzon APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/web/pre.js)

add_executable(unlzon_node src/main.cc)
set_target_properties(unlzon_node PROPERTIES OUTPUT_NAME unlzon-node)
target_compile_definitions(unlzon_node PRIVATE UNLZON_VERSION="${PROJECT_VERSION}"
                                               UNLZON_DOCUMENTATION="${UNLZON_DOCUMENTATION}")
target_compile_options(unlzon_node PRIVATE ${UNLZON_WARNINGS})
target_link_libraries(unlzon_node PRIVATE unlzon_core)
target_link_options(unlzon_node PRIVATE
  ${UNLZON_WASM_LINK_OPTIONS}
  -sENVIRONMENT=node -sNODERAWFS=1
  # Compiled as it is loaded, from the file beside it: node 18's fetch,
  # which the asynchronous way would try first, cannot read a path.
  -sWASM_ASYNC_COMPILATION=0)

if(BUILD_TESTING)
  # unlzon and demo_tool for this machine, from the same sources, with the
  # host's compiler and liblzo2, in native/ of this build.
  include(ExternalProject)
  set(UNLZON_NATIVE_DIR ${CMAKE_BINARY_DIR}/native)
  # Under make, the sub-build shares this build's jobs (-j).
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    set(UNLZON_NATIVE_BUILD $(MAKE) -C <BINARY_DIR> unlzon demo_tool)
  else()
    set(UNLZON_NATIVE_BUILD ${CMAKE_COMMAND} --build <BINARY_DIR> --target unlzon demo_tool)
  endif()
  ExternalProject_Add(unlzon_native
    SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}
    BINARY_DIR ${UNLZON_NATIVE_DIR}
    # emcmake's settings stay out: the host's compiler and pkg-config.
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env --unset=PKG_CONFIG_LIBDIR --unset=PKG_CONFIG_PATH
                      --unset=CC --unset=CXX
                      ${CMAKE_COMMAND} -S <SOURCE_DIR> -B <BINARY_DIR> -G ${CMAKE_GENERATOR}
                      -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
                      # The banner as the page's, so that every line compares.
                      "-DUNLZON_DOCUMENTATION=${UNLZON_DOCUMENTATION}"
    BUILD_COMMAND ${UNLZON_NATIVE_BUILD}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${UNLZON_NATIVE_DIR}/unlzon ${UNLZON_NATIVE_DIR}/demo_tool)

  find_program(UNLZON_NODE NAMES node nodejs REQUIRED)
  # The suite's CLI cases, run by both programs on the real file system.
  add_test(NAME node_program_matches_native
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/node_cli_test.sh
                   ${UNLZON_NATIVE_DIR}/unlzon ${UNLZON_NATIVE_DIR}/demo_tool
                   ${UNLZON_NODE} $<TARGET_FILE:unlzon_node>)
  # unlzon.js as a page's worker uses it, in node's V8.
  add_test(NAME web_module_as_a_page_uses_it
           COMMAND ${UNLZON_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/web_module_test.js
                   $<TARGET_FILE:unlzon> ${UNLZON_NATIVE_DIR}/demo_tool)
  # The page's image identity and checksums, on images native demo_tool makes;
  # hash-wasm from web/node_modules (npm ci --prefix web).
  add_test(NAME web_identity_and_checksums
           COMMAND ${UNLZON_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/web_identity_test.js
                   ${UNLZON_NATIVE_DIR}/demo_tool)
  set_tests_properties(node_program_matches_native web_module_as_a_page_uses_it
                       web_identity_and_checksums PROPERTIES TIMEOUT ${UNLZON_TEST_TIMEOUT})
endif()
