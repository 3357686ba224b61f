# Compiler guards for every target the project builds itself: the libraries,
# the tool, the stand-in server, the test suites and the benchmarks.

option(ZAMTU_WARNINGS_AS_ERRORS "Fail the build on any compiler warning" OFF)

# zamtu_apply_guards(<target> [ALLOW <definition>...])
# Turns on the usual warnings (and -Werror with ZAMTU_WARNINGS_AS_ERRORS) and
# the Qt definitions that refuse implicit conversions between QString, char
# arrays, QByteArray and QUrl, so that every text names its encoding. ALLOW
# leaves out the named definitions, for a target that has a reason given beside
# the call.
function(zamtu_apply_guards target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "ALLOW")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "zamtu_apply_guards: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()

    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra)
        if(ZAMTU_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()

    set(definitions
        QT_NO_CAST_FROM_ASCII
        QT_NO_CAST_TO_ASCII
        QT_NO_CAST_FROM_BYTEARRAY
        QT_NO_URL_CAST_FROM_STRING
        QT_USE_QSTRINGBUILDER
    )
    foreach(allowed IN LISTS arg_ALLOW)
        if(NOT allowed IN_LIST definitions)
            message(FATAL_ERROR "zamtu_apply_guards: ${allowed} is no guard")
        endif()
        list(REMOVE_ITEM definitions ${allowed})
    endforeach()
    target_compile_definitions(${target} PRIVATE ${definitions})
endfunction()
