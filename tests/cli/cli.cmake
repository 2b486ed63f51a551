# The `zuvo` command from outside: programs that run the built launcher
# with arguments, standard input, environment variables and a terminal,
# and check what it prints and its exit status.
if(TARGET zuvo_launcher AND GTest_FOUND)
  foreach(name test_cli test_prompt)
    add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp ${CMAKE_CURRENT_LIST_DIR}/clitest.cpp)
    target_compile_options(${name} PRIVATE ${ZUVO_WARNINGS})
    target_compile_definitions(${name} PRIVATE ZUVO_EXE="$<TARGET_FILE:zuvo_launcher>"
                               ZUVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                               ZUVO_TEST_EXT_DIR="${CMAKE_BINARY_DIR}/tests/ext")
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main util)
    add_dependencies(${name} zuvo_launcher ext_spam ext_noinit)
    add_test(NAME ${name} COMMAND ${name})
  endforeach()
endif()

# An installed tree, moved after installing, still runs.
if(TARGET zuvo_launcher)
  add_test(NAME install COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
           -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
           -P ${CMAKE_CURRENT_LIST_DIR}/install_test.cmake)
endif()
