# dorvik_folder_library(NAME [SOURCES ...] [LINKS ...] [PRIVATE_LINKS ...])
# One static library per source folder, made of the sources its CMakeLists.txt lists, one
# file a line. A folder that has no sources yet is an interface library, so the folders above
# it can already link it.
function(dorvik_folder_library NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS;PRIVATE_LINKS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${NAME} STATIC ${ARG_SOURCES})
    target_include_directories(${NAME} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${NAME} PUBLIC ${ARG_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
    set_target_properties(${NAME} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    # platform/nss counts as platform.
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    string(REGEX REPLACE "/.*" "" folder "${folder}")
    dorvik_folder_warnings(${NAME} ${folder})
  else()
    add_library(${NAME} INTERFACE)
    target_include_directories(${NAME} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${NAME} INTERFACE ${ARG_LINKS})
  endif()
endfunction()

# dorvik_folder_warnings(TARGET FOLDER)
# The conversion warnings (-Wconversion -Wsign-conversion, and -Wold-style-cast for C++) for a
# target made of FOLDER's code, when FOLDER is in DORVIK_STRICT_FOLDERS (top CMakeLists.txt).
function(dorvik_folder_warnings TARGET FOLDER)
  if(FOLDER IN_LIST DORVIK_STRICT_FOLDERS)
    target_compile_options(${TARGET} PRIVATE -Wconversion -Wsign-conversion
      $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
  endif()
endfunction()
