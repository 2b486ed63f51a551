# Installs the build into a scratch prefix, moves the whole tree
# elsewhere, and runs the installed zuvo from an unrelated directory: it
# must load the installed libzuvo (its run path is relative) and find its
# library directory from its own location.
#
# cmake -DBUILD_DIR=<build tree> -DSOURCE_DIR=<source tree> -P install_test.cmake
#
# The scratch tree lies outside the build tree, as a real installation
# does (a program inside the build tree may use the source tree's Lib/).
set(tmp $ENV{TMPDIR})
if(NOT tmp)
  set(tmp /tmp)
endif()
string(RANDOM LENGTH 10 tag)
set(WORK_DIR ${tmp}/zuvo-install-${tag})

# Failing leaves nothing behind in the temporary directory.
macro(fail text)
  file(REMOVE_RECURSE ${WORK_DIR})
  message(FATAL_ERROR "${text}")
endmacro()

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/first
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  fail("cmake --install failed: ${rc}")
endif()
file(RENAME ${WORK_DIR}/first ${WORK_DIR}/moved)
set(prefix ${WORK_DIR}/moved)

foreach(f bin/zuvo lib/libzuvo.so include/zuvo2.4/zuvo.h lib/zuvo2.4/lib-dynload)
  if(NOT EXISTS ${prefix}/${f})
    fail("not installed: ${f}")
  endif()
endforeach()

# The program the installed zuvo runs: it reports where it runs from and
# imports each library module the source tree has, which must come from
# the installed library directory.
set(program "import sys\nprint sys.prefix\nprint sys.path[-2]\nprint 'ran', sys.argv[1:]\n")
set(expected "${prefix}\n${prefix}/lib/zuvo2.4\nran ['x']\n")
foreach(m traceback linecache warnings __future__)
  if(EXISTS ${SOURCE_DIR}/Lib/${m}.zv)
    string(APPEND program "import ${m}\nprint '${m}', ${m}.__file__.startswith(sys.prefix + '/lib/zuvo2.4/')\n")
    string(APPEND expected "${m} True\n")
  endif()
endforeach()
file(WRITE ${WORK_DIR}/program.zv "${program}")
file(MAKE_DIRECTORY ${WORK_DIR}/elsewhere)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=ZUVOHOME
                        --unset=ZUVOPATH
                        ${prefix}/bin/zuvo ${WORK_DIR}/program.zv x
                WORKING_DIRECTORY ${WORK_DIR}/elsewhere
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  fail("installed zuvo: status ${rc}\nstdout:\n${out}\nexpected:\n${expected}\nstderr:\n${err}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed zuvo runs from ${prefix}")
