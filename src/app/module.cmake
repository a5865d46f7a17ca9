# The service host's library: the controller and the command line of `velmar`.
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(velmar_app PUBLIC CLI11::CLI11)
