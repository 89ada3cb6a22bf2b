# Third-party dependencies of the driver.
#
# Arrow C++ comes from a pyarrow wheel (it ships headers and shared libraries):
# the one importable by ZV_PYTHON, which is the project's .venv for `make
# build` and the isolated build environment's Python when pip builds the wheel.
# -DZV_USE_SYSTEM_ARROW=ON takes an installed Arrow found with find_package
# instead. Either way the version is pinned (requirements.txt's pyarrow),
# because the driver exchanges Arrow C++ objects (not only C-data structs) with
# Arrow's own shared libraries.
#
# The Arrow and ADBC headers are copied into the build tree, so every compile
# command names them by a path inside it whichever Python provided them: a
# build from pip's temporary environment compiles exactly what `make build`
# compiled, and ccache (which rewrites paths below the checkout to relative
# ones) serves it.
file(STRINGS "${CMAKE_SOURCE_DIR}/requirements.txt" _pa_pin REGEX "^pyarrow==")
string(REPLACE "pyarrow==" "" _pa_pin "${_pa_pin}")
set(ZV_ARROW_VERSION "${_pa_pin}" CACHE STRING "Pinned Apache Arrow version (requirements.txt)")
option(ZV_USE_SYSTEM_ARROW "Use an installed Arrow C++ instead of the pyarrow wheel" OFF)
set(ZV_PYTHON "${CMAKE_SOURCE_DIR}/.venv/bin/python" CACHE FILEPATH "Python whose pyarrow and adbc-driver-manager the build uses")
set(ZV_DEPS_DIR "${CMAKE_BINARY_DIR}/_deps")

# Copies the files of `source` (a folder) into `dest` once per `key`: a later
# configure with the same key, from whatever location, leaves the copy and its
# time stamps alone, so nothing recompiles.
function(zv_copy_headers source dest key)
  if(EXISTS "${dest}/.key")
    file(READ "${dest}/.key" _have)
    if(_have STREQUAL key)
      return()
    endif()
  endif()
  file(REMOVE_RECURSE "${dest}")
  file(COPY "${source}/" DESTINATION "${dest}" FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
  file(WRITE "${dest}/.key" "${key}")
endfunction()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)

# libcurl: by default the build of scripts/build_libcurl.sh (Debian's sources,
# HTTP and HTTPS over OpenSSL only), linked statically, so the driver carries
# no LDAP, SSH, RTMP, Kerberos or second TLS library into a host process.
# The script keeps its build under ~/.cache and returns at once when it is
# there. -DZV_BUNDLED_CURL=OFF links the system's shared libcurl.
if(WIN32)
  set(_bundled_curl_default OFF)
else()
  set(_bundled_curl_default ON)
endif()
option(ZV_BUNDLED_CURL "Link the HTTP/HTTPS-only libcurl of scripts/build_libcurl.sh statically" ${_bundled_curl_default})
if(ZV_BUNDLED_CURL)
  # A changed recipe is a new prefix: configure again when the script changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${CMAKE_SOURCE_DIR}/scripts/build_libcurl.sh")
  execute_process(
    COMMAND "${CMAKE_SOURCE_DIR}/scripts/build_libcurl.sh"
    OUTPUT_VARIABLE ZV_CURL_PREFIX RESULT_VARIABLE _curl_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _curl_rc EQUAL 0 OR NOT EXISTS "${ZV_CURL_PREFIX}/lib/libcurl.a")
    message(FATAL_ERROR "scripts/build_libcurl.sh failed (see above); "
                        "-DZV_BUNDLED_CURL=OFF links the system libcurl instead")
  endif()
  add_library(CURL::libcurl STATIC IMPORTED)
  set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "${ZV_CURL_PREFIX}/lib/libcurl.a"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES "OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads")
  target_include_directories(CURL::libcurl SYSTEM INTERFACE "${ZV_CURL_PREFIX}/include")
  message(STATUS "libcurl: ${ZV_CURL_PREFIX} (static, HTTP/HTTPS only)")
else()
  find_package(CURL REQUIRED)
endif()

# libpg_query ships neither a CMake package nor a pkg-config file on Debian.
find_path(PG_QUERY_INCLUDE_DIR pg_query.h REQUIRED)
find_library(PG_QUERY_LIBRARY pg_query REQUIRED)
add_library(zv::pg_query UNKNOWN IMPORTED)
set_target_properties(zv::pg_query PROPERTIES
  IMPORTED_LOCATION "${PG_QUERY_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${PG_QUERY_INCLUDE_DIR}")

if(NOT WIN32)
  pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
endif()

if(ZV_USE_SYSTEM_ARROW)
  find_package(Arrow ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(ArrowCompute ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(ArrowAcero ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(Parquet ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  add_library(zv::arrow INTERFACE IMPORTED)
  target_link_libraries(zv::arrow INTERFACE
    Arrow::arrow_shared ArrowCompute::arrow_compute_shared
    ArrowAcero::arrow_acero_shared Parquet::parquet_shared)
  set(ZV_ARROW_LIBRARY_DIR "")
else()
  execute_process(
    COMMAND "${ZV_PYTHON}" -c "import pyarrow as pa; print(pa.__version__); print(pa.get_include()); print(pa.get_library_dirs()[0])"
    OUTPUT_VARIABLE _pa_out RESULT_VARIABLE _pa_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _pa_rc EQUAL 0)
    message(FATAL_ERROR "pyarrow not importable with ${ZV_PYTHON}; run scripts/setup.sh (or make build)")
  endif()
  string(REPLACE "\n" ";" _pa_lines "${_pa_out}")
  list(GET _pa_lines 0 _pa_version)
  list(GET _pa_lines 1 _pa_include)
  list(GET _pa_lines 2 ZV_ARROW_LIBRARY_DIR)
  if(NOT _pa_version VERSION_EQUAL ZV_ARROW_VERSION)
    message(FATAL_ERROR "pyarrow ${_pa_version} found, the build is pinned to ${ZV_ARROW_VERSION}")
  endif()
  message(STATUS "Arrow: pyarrow ${_pa_version} in ${ZV_ARROW_LIBRARY_DIR}")
  set(ZV_ARROW_INCLUDE_DIR "${ZV_DEPS_DIR}/arrow/include")
  zv_copy_headers("${_pa_include}" "${ZV_ARROW_INCLUDE_DIR}" "pyarrow ${_pa_version}")
  string(REPLACE "." ";" _pa_parts "${ZV_ARROW_VERSION}")
  list(GET _pa_parts 0 _pa_major)
  math(EXPR _so_version "${_pa_major} * 100")
  add_library(zv::arrow INTERFACE IMPORTED)
  foreach(_lib arrow arrow_compute arrow_acero parquet)
    set(_path "${ZV_ARROW_LIBRARY_DIR}/lib${_lib}.so.${_so_version}")
    if(NOT EXISTS "${_path}")
      message(FATAL_ERROR "missing ${_path} in the pyarrow wheel")
    endif()
    add_library(zv::${_lib}_lib SHARED IMPORTED)
    set_target_properties(zv::${_lib}_lib PROPERTIES IMPORTED_LOCATION "${_path}" IMPORTED_NO_SONAME OFF)
    target_link_libraries(zv::arrow INTERFACE zv::${_lib}_lib)
  endforeach()
  # The wheel's headers are third-party code: keep our warnings out of them.
  target_include_directories(zv::arrow SYSTEM INTERFACE "${ZV_ARROW_INCLUDE_DIR}")
endif()

# The ADBC C header comes from the pinned adbc-driver-manager package, which is
# also the client the tests load the driver with.
execute_process(
  COMMAND "${ZV_PYTHON}" -c "import adbc_driver_manager, os; print(os.path.join(os.path.dirname(adbc_driver_manager.__file__), 'arrow-adbc')); print(adbc_driver_manager.__version__)"
  OUTPUT_VARIABLE _adbc_out RESULT_VARIABLE _adbc_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "\n" ";" _adbc_lines "${_adbc_out}")
list(GET _adbc_lines 0 _adbc_dir)
if(NOT _adbc_rc EQUAL 0 OR NOT EXISTS "${_adbc_dir}/adbc.h")
  find_path(_adbc_root arrow-adbc/adbc.h REQUIRED)
  set(_adbc_dir "${_adbc_root}/arrow-adbc")
  set(_adbc_lines "" "installed")
endif()
list(GET _adbc_lines 1 _adbc_key)
set(ZV_ADBC_INCLUDE_DIR "${ZV_DEPS_DIR}/arrow-adbc")
zv_copy_headers("${_adbc_dir}" "${ZV_ADBC_INCLUDE_DIR}" "adbc ${_adbc_key}")
add_library(zv::adbc_header INTERFACE IMPORTED)
target_include_directories(zv::adbc_header SYSTEM INTERFACE "${ZV_ADBC_INCLUDE_DIR}")
message(STATUS "ADBC header: ${_adbc_dir}/adbc.h")

# What the Python package and the wheel build read about this build: the
# driver's version (the project's, defined once in the top CMakeLists.txt)
# and the pyarrow it links.
if(ZV_USE_SYSTEM_ARROW)
  set(_built_arrow "${Arrow_VERSION}")
else()
  set(_built_arrow "${_pa_version}")
endif()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/zorvane_build.json" CONTENT
"{\"version\": \"${PROJECT_VERSION}\", \"pyarrow\": \"${_built_arrow}\"}\n")
