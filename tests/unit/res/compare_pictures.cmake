# Draws the pictures into OUTPUT with GENERATOR and compares them with those in CHECKED_IN.
file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
execute_process(COMMAND ${GENERATOR} ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "bitmap_generator failed: ${status}")
endif()
foreach(name controller.bmp controller_crossed.bmp emblem.bmp emblem.ico)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT}/${name} ${CHECKED_IN}/${name}
        RESULT_VARIABLE differs)
    if(differs)
        message(FATAL_ERROR "res/${name} differs from what bitmap_generator draws; "
            "rebuild the target regenerate_bitmaps and check the new file in")
    endif()
endforeach()
