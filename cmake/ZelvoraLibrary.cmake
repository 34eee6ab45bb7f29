# The platform part of a folder: posix/ here, win32/ on Windows.
if(WIN32)
  set(ZELVORA_PLATFORM_PART win32)
else()
  set(ZELVORA_PLATFORM_PART posix)
endif()

# zelvora_core_library(NAME DEPENDENCIES…): the library zelvora_NAME made of every source file of
# the calling folder and its platform part, linked to the folders below it.
function(zelvora_core_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
       ${CMAKE_CURRENT_SOURCE_DIR}/${ZELVORA_PLATFORM_PART}/*.cpp)
  add_library(zelvora_${name} STATIC ${sources})
  target_include_directories(zelvora_${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(zelvora_${name} PUBLIC ${ARGN} Threads::Threads)
endfunction()
