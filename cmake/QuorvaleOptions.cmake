# One INTERFACE target carries the language level and strict warnings; every target of the
# project links it. Product code also links qv_strict_qt (privately), which forbids implicit
# text conversions; tests may use plain literals.
add_library(qv_options INTERFACE)
target_compile_features(qv_options INTERFACE cxx_std_20)
add_library(qv_strict_qt INTERFACE)
target_compile_definitions(qv_strict_qt INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_FOREACH)
target_compile_options(qv_options INTERFACE
    -Wall -Wextra -Wpedantic
    -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused
    -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
    $<$<CXX_COMPILER_ID:GNU>:-Wmisleading-indentation -Wduplicated-cond -Wduplicated-branches -Wlogical-op>)
# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3 (its bug 105651).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(qv_options INTERFACE -Wno-restrict)
endif()
if(QUORVALE_WERROR)
    target_compile_options(qv_options INTERFACE -Werror)
endif()
