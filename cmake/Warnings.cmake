# Warnings every project target compiles with; kept clean.
add_library(zorv_warnings INTERFACE)
target_compile_options(zorv_warnings INTERFACE
    -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual)

# A subsystem library from every .cpp of its folder. PUBLIC_DEPS are linked
# publicly, PRIVATE_DEPS privately. A folder without sources yet gives an
# interface library, so the layers above link the same way.
option(ZORV_UNITY_BUILD "Compile each library's files in batches" ON)
function(zorv_library name)
    cmake_parse_arguments(ARG "" "" "PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
    if(sources)
        add_library(${name} STATIC ${sources})
        # The files of a library compile in batches (one compiler run for
        # several files): a clean build takes a sixth less time.
        set_target_properties(${name} PROPERTIES UNITY_BUILD ${ZORV_UNITY_BUILD})
        if(ZORV_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            # A batch includes the .cpp files, and g++ then takes a file's
            # own types in its anonymous namespace for a header's.
            target_compile_options(${name} PRIVATE -Wno-subobject-linkage)
        endif()
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} zorv_warnings)
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS} ${ARG_PRIVATE_DEPS})
    endif()
endfunction()

# Clang checks the lock annotations (platform/ThreadAnnotations.h).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(zorv_warnings INTERFACE -Wthread-safety)
endif()

# The test builds treat every warning as an error.
option(ZORV_WERROR "Treat compiler warnings as errors" OFF)
if(ZORV_WERROR)
    target_compile_options(zorv_warnings INTERFACE -Werror)
endif()
