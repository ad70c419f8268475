# The player's page of meetpoint in Debian's chromium (player_page.test.mjs): in the linux
# preset against its own meetpoint and rallylobby; in windows-x64 with meetpoint.exe under Wine
# and the linux preset's rallylobby (built first), reached from chromium on Linux. install.sh
# (chromium, Node.js, npm ci) runs first, as a fixture.
set(browser_dir ${CMAKE_SOURCE_DIR}/tests/browser)
function(add_player_page_test name pattern)
  if(NOT TEST browser_install)
    add_test(NAME browser_install COMMAND ${browser_dir}/install.sh)
    set_tests_properties(browser_install PROPERTIES FIXTURES_SETUP browser LABELS browser
                         RESOURCE_LOCK browser_node_modules TIMEOUT 600)
  endif()
  add_test(NAME ${name} COMMAND node --test-name-pattern=${pattern} player_page.test.mjs
           WORKING_DIRECTORY ${browser_dir})
  set_tests_properties(${name} PROPERTIES LABELS browser FIXTURES_REQUIRED browser TIMEOUT 180
                       ENVIRONMENT "${ARGN}")
endfunction()
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8 AND TARGET meetpoint)
  set(RALLYLINK_LINUX_BIN ${CMAKE_SOURCE_DIR}/build/linux/bin CACHE PATH
      "The linux preset's programs, the other side of the Windows relay's tests")
  add_player_page_test(browser_player_page_windows "Windows"
    "RALLYLINK_BIN=${RALLYLINK_LINUX_BIN};MEETPOINT_EXE=${CMAKE_BINARY_DIR}/bin/meetpoint.exe;WINE_RUN=${CMAKE_BINARY_DIR}/wine-run.sh")
  set_tests_properties(browser_player_page_windows PROPERTIES LABELS "browser;wine"
                       FIXTURES_REQUIRED "browser;wine")
elseif(NOT WIN32 AND TARGET rallylobby)
  add_player_page_test(browser_player_page_two_players "two players" "RALLYLINK_BIN=${CMAKE_BINARY_DIR}/bin")
  add_player_page_test(browser_player_page_refusals "refuses" "RALLYLINK_BIN=${CMAKE_BINARY_DIR}/bin")
  add_player_page_test(browser_player_page_own_lobby "own lobby" "RALLYLINK_BIN=${CMAKE_BINARY_DIR}/bin")
endif()
