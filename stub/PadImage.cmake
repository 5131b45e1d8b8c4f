# Pads the linked stub INPUT with zero bytes to exactly SIZE bytes as OUTPUT, so that every
# archive finds its header at the same offset. Windows ignores bytes past the last section.
# A linked image larger than SIZE fails the build: archives made with it could not be read.
file(SIZE "${INPUT}" linked)
get_filename_component(name "${OUTPUT}" NAME)
if(linked GREATER SIZE)
  message(FATAL_ERROR "${name}: the linked image is ${linked} bytes, more than the ${SIZE} bytes "
                      "where archives place their header")
endif()
math(EXPR padding "${SIZE} - ${linked}")
message(STATUS "${name}: linked image ${linked} bytes, padded with ${padding} zero bytes to ${SIZE}")
file(COPY_FILE "${INPUT}" "${OUTPUT}.part")
execute_process(COMMAND truncate -s ${SIZE} "${OUTPUT}.part" RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${OUTPUT}.part")
  message(FATAL_ERROR "${name}: could not pad the image")
endif()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
