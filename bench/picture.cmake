# JPEG and GIF decode time through FCImageHandle_IPicture; run it on a file next to `djpeg`.
add_executable(picture_bench ${CMAKE_CURRENT_LIST_DIR}/picture_bench.cpp)
target_link_libraries(picture_bench PRIVATE corvane_codecs_internals)
