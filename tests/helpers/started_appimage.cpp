// A stand-in AppImage for the move tests: an ELF program (the test writes the AppImage magic into
// its copy) that notes each start of itself, by the path it was started as, in "started" two
// folders up (<home>/Downloads/x -> <home>/started).
#include <cstdio>
#include <string>

int main(int, char* argv[]) {
    std::string path = argv[0];
    for (int up = 0; up < 2; ++up) {
        const std::string::size_type slash = path.rfind('/');
        if (slash == std::string::npos) {
            return 1;
        }
        path.resize(slash);
    }
    std::FILE* marker = std::fopen((path + "/started").c_str(), "a");
    if (!marker) {
        return 1;
    }
    std::fprintf(marker, "%s\n", argv[0]);
    std::fclose(marker);
    return 0;
}
