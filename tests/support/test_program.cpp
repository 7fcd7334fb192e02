// The executable of a test program: everything else lives in the test
// module libqrnauth.so beside it (see tests/CMakeLists.txt).
extern "C" int QrnTestModuleMain(int argc, char** argv);

int main(int argc, char** argv) { return QrnTestModuleMain(argc, argv); }
