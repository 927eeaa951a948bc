# Runs artpeel on the sample library in a folder of its own, IMAGES, emptied
# first, shows its report, and says where the images and the program are.
# artpeel ends a walk with status 1, so only other statuses are failures here.
file(REMOVE_RECURSE ${IMAGES})
file(MAKE_DIRECTORY ${IMAGES})
execute_process(COMMAND ${ARTPEEL} ${LIBRARY} WORKING_DIRECTORY ${IMAGES} RESULT_VARIABLE status)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "artpeel ended with status ${status}")
endif()
file(GLOB images ${IMAGES}/*)
list(LENGTH images count)
message("\nartpeel wrote ${count} images to ${IMAGES}\n"
        "The program is ${ARTPEEL}; run it from the folder the images should land in:\n"
        "  ${ARTPEEL} ~/Music/iTunes")
