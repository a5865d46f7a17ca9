# The project's web address, named on the last line of the help overview.
target_compile_definitions(velmar_shell PRIVATE VELMAR_HOMEPAGE_URL="${PROJECT_HOMEPAGE_URL}")
