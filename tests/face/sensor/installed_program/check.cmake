# lumivar_face built against a libfreenect2 in a prefix of its own, installed into another prefix and
# started from elsewhere with no library path set: it must find the library by itself.
#   cmake -DSOURCE_DIR=... -DCXX_COMPILER=... -DPHOTO=... -P check.cmake
foreach(name SOURCE_DIR CXX_COMPILER PHOTO)
  if(NOT ${name})
    message(FATAL_ERROR "${name} not set")
  endif()
endforeach()

# Outside the source tree, where a user's libfreenect2 prefix would be: CMake never puts directories of
# the project itself into an installed program's run path. Left behind only when the test fails.
set(temp $ENV{TMPDIR})
if(NOT temp)
  set(temp /tmp)
endif()
string(RANDOM LENGTH 10 suffix)
set(WORK_DIR ${temp}/lumivar_installed_program_${suffix})
file(MAKE_DIRECTORY ${WORK_DIR})
set(library_prefix ${WORK_DIR}/freenect2)
set(program_prefix ${WORK_DIR}/installed)

# Runs a command; a failure ends the test with its output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
step("configuring the library" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/face/sensor/installed_program/freenect2
     -B ${WORK_DIR}/freenect2-build -DSIM_DIR=${SOURCE_DIR}/face/sim_freenect2
     -DCMAKE_INSTALL_PREFIX=${library_prefix} ${release})
step("building the library" ${CMAKE_COMMAND} --build ${WORK_DIR}/freenect2-build --parallel 2)
step("installing the library" ${CMAKE_COMMAND} --install ${WORK_DIR}/freenect2-build)

# Only the program: no tests, no benchmarks.
step("configuring lumivar" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/lumivar-build
     -Dfreenect2_DIR=${library_prefix}/lib/cmake/freenect2 -DLUMIVAR_BUILD_TESTS=OFF -DLUMIVAR_BUILD_BENCH=OFF
     ${release})
if(NOT step_output MATCHES "using libfreenect2 from ${library_prefix}/include")
  message(FATAL_ERROR "lumivar did not pick up the library in ${library_prefix}:\n${step_output}")
endif()
step("building lumivar_face" ${CMAKE_COMMAND} --build ${WORK_DIR}/lumivar-build --target lumivar_face --parallel 2)
step("installing lumivar_face" ${CMAKE_COMMAND} --install ${WORK_DIR}/lumivar-build --component lumivar_face
     --prefix ${program_prefix})

# A one-frame run from another directory, without help from the environment.
file(MAKE_DIRECTORY ${WORK_DIR}/run/samples ${WORK_DIR}/run/frames)
step("copying the photo" ${CMAKE_COMMAND} -E copy ${PHOTO} ${WORK_DIR}/run/samples/veyra.jpg)
step("copying the photo" ${CMAKE_COMMAND} -E copy ${PHOTO} ${WORK_DIR}/run/frames/frame.jpg)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=DISPLAY --unset=LOGFILE
          LUMIVAR_SIM_FRAMES=frames ${program_prefix}/bin/lumivar_face --samples-dir samples
          --model model/face.yml --labels model/labels.txt --frames 1
  WORKING_DIRECTORY ${WORK_DIR}/run
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed lumivar_face ended with status ${status}:\n${out}${err}")
endif()
foreach(line "started RGB stream" "summary: frames=1" "clean exit")
  if(NOT out MATCHES "${line}")
    message(FATAL_ERROR "the installed lumivar_face did not write '${line}':\n${out}${err}")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
