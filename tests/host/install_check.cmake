# cmake -P script: install BUILD_DIR into SCRATCH/prefix, then configure, build and run
# the CONSUMER project against it.
file(REMOVE_RECURSE "${SCRATCH}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${SCRATCH}/prefix")
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
run("${CMAKE_COMMAND}" -S "${CONSUMER}" -B "${SCRATCH}/build" -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DCMAKE_PREFIX_PATH=${SCRATCH}/prefix" "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run("${CMAKE_COMMAND}" --build "${SCRATCH}/build")
# The installed montage-host runs from the prefix too.
run("${SCRATCH}/prefix/bin/montage-host" list)
message("${output}")
run("${SCRATCH}/build/minimal_host" Brisolen 2)
message("${output}")
