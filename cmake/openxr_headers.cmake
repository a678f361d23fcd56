# OpenXR's core and platform headers from the host's development package, copied alone into the
# build tree: the cross compiler must not see the rest of the host's include folder.
find_file(CORVANE_OPENXR_HEADER openxr/openxr.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(corvane_openxr_source ${CORVANE_OPENXR_HEADER} DIRECTORY)
set(corvane_openxr_include ${CMAKE_BINARY_DIR}/openxr_include)
foreach(header openxr.h openxr_platform.h openxr_platform_defines.h)
    configure_file(${corvane_openxr_source}/${header} ${corvane_openxr_include}/openxr/${header} COPYONLY)
endforeach()
add_library(openxr_headers INTERFACE)
target_include_directories(openxr_headers SYSTEM INTERFACE ${corvane_openxr_include})
# Every file that includes them sees the Direct3D 11 and Win32 parts of the platform header.
target_compile_definitions(openxr_headers INTERFACE XR_USE_PLATFORM_WIN32 XR_USE_GRAPHICS_API_D3D11)
