# Build-time tools and the sources they generate.
#
# zvpgen turns Grammar/Grammar into the parser's tables (graminit.h with
# the rule numbers, graminit.cpp with the DFAs and labels).  It shares the
# operator tables of Parser/token.cpp with the tokenizer, so an operator has
# one number everywhere.

add_executable(zvpgen
  ${CMAKE_SOURCE_DIR}/Tools/zvpgen/main.cpp
  ${CMAKE_SOURCE_DIR}/Tools/zvpgen/metagrammar.cpp
  ${CMAKE_SOURCE_DIR}/Tools/zvpgen/automata.cpp
  ${CMAKE_SOURCE_DIR}/Tools/zvpgen/tables.cpp
  ${CMAKE_SOURCE_DIR}/Tools/zvpgen/emit.cpp
  ${CMAKE_SOURCE_DIR}/Parser/token.cpp)
target_include_directories(zvpgen PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(zvpgen PRIVATE ${ZUVO_WARNINGS})

set(ZUVO_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${ZUVO_GENERATED_DIR}/graminit.h ${ZUVO_GENERATED_DIR}/graminit.cpp
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZUVO_GENERATED_DIR}
  COMMAND zvpgen ${CMAKE_SOURCE_DIR}/Grammar/Grammar
          ${ZUVO_GENERATED_DIR}/graminit.h ${ZUVO_GENERATED_DIR}/graminit.cpp
  DEPENDS zvpgen ${CMAKE_SOURCE_DIR}/Grammar/Grammar
  COMMENT "Generating the grammar tables from Grammar/Grammar"
  VERBATIM)

target_sources(zuvo PRIVATE ${ZUVO_GENERATED_DIR}/graminit.cpp)
# graminit.h gives the compiler and the tests the rule numbers.
target_include_directories(zuvo PUBLIC $<BUILD_INTERFACE:${ZUVO_GENERATED_DIR}>)

# The fuzz target for the front end (clang's libFuzzer); never built by CI.
option(ZUVO_FUZZ "Build the libFuzzer targets under tests/fuzz" OFF)
if(ZUVO_FUZZ)
  include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz.cmake)
endif()

# The generator must refuse grammars it cannot turn into LL(1) tables,
# naming the rule at fault.
enable_testing()
foreach(pair "ambiguous|rule 'bad' is not LL\\(1\\)" "leftrec|rule 'expr' is left-recursive"
             "undefined|'undefined_rule' is neither a rule nor a token"
             "syntax|syntax.grammar:[0-9]+: expected")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 case)
  list(GET pair 1 message)
  add_test(NAME zvpgen_rejects_${case}
           COMMAND zvpgen ${CMAKE_SOURCE_DIR}/Tools/zvpgen/tests/${case}.grammar
                   ${CMAKE_BINARY_DIR}/zvpgen_${case}.h ${CMAKE_BINARY_DIR}/zvpgen_${case}.cpp)
  set_tests_properties(zvpgen_rejects_${case} PROPERTIES
                       PASS_REGULAR_EXPRESSION "${message}")
endforeach()
