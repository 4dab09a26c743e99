# Finds what the Python module is built with: Debian's Python 3 (not another
# interpreter first on PATH, which would not see Debian's numpy) and pybind11.
# Sets KORVANE_PYTHON_FOUND.
set(KORVANE_PYTHON_FOUND OFF)
if(NOT DEFINED Python_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python the korvane module is built for")
endif()
find_package(Python 3.8 QUIET COMPONENTS Interpreter Development.Module)
if(Python_FOUND)
  find_package(pybind11 2.6 CONFIG QUIET)
endif()
# An instrumented library cannot be loaded into an uninstrumented interpreter.
if(Python_FOUND AND pybind11_FOUND AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(KORVANE_PYTHON_FOUND ON)
endif()
