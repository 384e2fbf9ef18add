# Libraries from Debian packages (setup/packages.d lists them).
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS log log_setup filesystem system thread regex date_time locale)
find_package(nlohmann_json 3 REQUIRED)
find_package(PkgConfig REQUIRED)
