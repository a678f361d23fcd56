# Builds the stand-in game a second time from a copy of the sources in another folder, into
# another build folder, and requires the same file, byte for byte.
# -DSOURCE=<project source> -DWORK=<scratch folder> -DTOOLCHAIN=<toolchain file>
# -DBUILD_TYPE=<build type> -DEXPECTED=<the game built by the project's build>
# -DDIGEST_FILE=<the digest the project's build wrote for it>
foreach(required SOURCE WORK TOOLCHAIN BUILD_TYPE EXPECTED DIGEST_FILE)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "check_reproducible.cmake needs -D${required}=...")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
set(copy ${WORK}/a-different-source-folder)
file(MAKE_DIRECTORY ${copy})
# Everything of the project but its build folders and history.
file(GLOB entries RELATIVE ${SOURCE} ${SOURCE}/*)
foreach(entry ${entries})
    if(NOT entry MATCHES "^(build|\\.git)")
        file(COPY ${SOURCE}/${entry} DESTINATION ${copy})
    endif()
endforeach()

execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${copy} -B ${WORK}/another-build-folder -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DBUILD_TESTING=OFF
    RESULT_VARIABLE configured OUTPUT_QUIET)
if(NOT configured EQUAL 0)
    message(FATAL_ERROR "configuring the second build failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/another-build-folder --target testgame
                RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
    message(FATAL_ERROR "building the second copy of testgame failed")
endif()

set(second ${WORK}/another-build-folder/tools/testgame/game/testgame.exe)
file(SHA256 ${EXPECTED} first_digest)
file(SHA256 ${second} second_digest)
message(STATUS "testgame.exe SHA-256: ${first_digest} (first build), ${second_digest} (second build)")
if(NOT first_digest STREQUAL second_digest)
    message(FATAL_ERROR "the two builds of testgame.exe differ")
endif()
file(READ ${DIGEST_FILE} written)
if(NOT written STREQUAL "${first_digest}\n")
    message(FATAL_ERROR "${DIGEST_FILE} does not hold the file's digest")
endif()
file(REMOVE_RECURSE ${WORK})
