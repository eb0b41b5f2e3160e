# Standalone Asio, which is header only: sets Asio_FOUND and Asio_INCLUDE_DIR.
# -DCMAKE_DISABLE_FIND_PACKAGE_Asio=ON builds as a machine without it does.
find_path(Asio_INCLUDE_DIR asio.hpp)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Asio REQUIRED_VARS Asio_INCLUDE_DIR)
mark_as_advanced(Asio_INCLUDE_DIR)
