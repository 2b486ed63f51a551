# libFuzzer targets; configure a separate build with clang, e.g.
#   cmake -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang \
#         -DCMAKE_CXX_COMPILER=clang++ -DZUVO_SANITIZE=ON -DZUVO_FUZZ=ON
#   cmake --build build/fuzz --target fuzz_frontend
#   build/fuzz/fuzz_frontend -max_total_time=1800 tests/fuzz/corpus
# Never built by CI.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "ZUVO_FUZZ needs clang (libFuzzer)")
endif()
target_compile_options(zuvo PRIVATE -fsanitize=fuzzer-no-link)
# The coverage hooks live in the fuzzer executable, not in the library.
target_link_options(zuvo PRIVATE -Wl,-z,undefs)
add_executable(fuzz_frontend ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_frontend.cpp)
target_compile_options(fuzz_frontend PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_frontend PRIVATE -fsanitize=fuzzer)
target_link_libraries(fuzz_frontend PRIVATE zuvo)
if(EXISTS ${CMAKE_SOURCE_DIR}/include/symtable.h)
  target_compile_definitions(fuzz_frontend PRIVATE ZUVO_FUZZ_SYMTABLE)
endif()

# The marshal loader and the code objects it yields:
#   cmake --build build/fuzz --target fuzz_marshal
#   build/fuzz/fuzz_marshal -max_total_time=1800 tests/fuzz/marshal_corpus
add_executable(fuzz_marshal ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_marshal.cpp)
target_compile_options(fuzz_marshal PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_marshal PRIVATE -fsanitize=fuzzer)
target_link_libraries(fuzz_marshal PRIVATE zuvo)

# The % operator of byte strings; seeds in tests/fuzz/corpus_format:
#   build/fuzz/fuzz_format -max_total_time=1800 -jobs=1 tests/fuzz/corpus_format
add_executable(fuzz_format ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_format.cpp)
target_compile_options(fuzz_format PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_format PRIVATE -fsanitize=fuzzer)
target_link_libraries(fuzz_format PRIVATE zuvo)
