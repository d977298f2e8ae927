# Locates the engine's dependencies: Eigen, spdlog and fmt from the system, CppAD from the
# cmeel-cppad wheel installed in the Python environment that builds us.
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.SABIModule)
find_package(Eigen3 3.4 REQUIRED NO_MODULE)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)

# The prefix is searched on sys.path so that an isolated build environment (pip's default)
# finds the copy of cmeel-cppad installed there.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import sys, pathlib; print(next((str(p / 'cmeel.prefix') for p in map(pathlib.Path, sys.path) if (p / 'cmeel.prefix' / 'include').is_dir()), ''))"
  OUTPUT_VARIABLE TARVELO_CPPAD_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
find_path(CPPAD_INCLUDE_DIR cppad/cppad.hpp HINTS "${TARVELO_CPPAD_PREFIX}/include" REQUIRED)
find_library(CPPAD_LIBRARY cppad_lib HINTS "${TARVELO_CPPAD_PREFIX}/lib" REQUIRED)
get_filename_component(CPPAD_LIBRARY_DIR "${CPPAD_LIBRARY}" DIRECTORY)

add_library(tarvelo_cppad INTERFACE)
target_include_directories(tarvelo_cppad SYSTEM INTERFACE "${CPPAD_INCLUDE_DIR}")
target_link_libraries(tarvelo_cppad INTERFACE "${CPPAD_LIBRARY}")
