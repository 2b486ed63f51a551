# Language-level tests: each Zuvo script under tests/lang/<feature>/ runs
# through the runner, which checks its output and its uncaught exception
# against the "# expect" comments beside the code.
add_executable(zvlang ${CMAKE_CURRENT_LIST_DIR}/runner.cpp)
target_compile_options(zvlang PRIVATE ${ZUVO_WARNINGS})
target_link_libraries(zvlang PRIVATE zuvo)

file(GLOB_RECURSE ZUVO_LANG_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.zv)
foreach(script ${ZUVO_LANG_TESTS})
  file(RELATIVE_PATH name ${CMAKE_CURRENT_LIST_DIR} ${script})
  string(REGEX REPLACE "\\.zv$" "" name ${name})
  add_test(NAME lang/${name} COMMAND zvlang ${script})
endforeach()
