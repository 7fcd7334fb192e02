// The executable of a benchmark program. It defines nothing: main() and
// everything else come from the module libqrnauth.so beside it (see
// bench/CMakeLists.txt), which the program's link names.
