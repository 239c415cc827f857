// nvpack [--repo DIR] INPUT OUTPUT: packs a program into a payload container.
// The time stamp comes from SOURCE_DATE_EPOCH, else from the latest commit of
// the git repository at DIR (default: the current directory), else a fixed
// date, so that two builds of the same sources give the same bytes.
#include "PayloadWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ReadAll(const char* path, std::vector<unsigned char>& out) {
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    unsigned char chunk[65536];
    std::size_t n;
    bool ok = true;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out.insert(out.end(), chunk, chunk + n);
        if (out.size() > static_cast<std::size_t>(nvpack::kMaxInputSize))
            break; // too large: BuildContainer says so
    }
    if (std::ferror(f))
        ok = false;
    std::fclose(f);
    return ok;
}

// Written under a temporary name and renamed, so that a failed run never
// leaves a truncated container that a build would take as up to date.
bool WriteAll(const std::string& path, const std::vector<unsigned char>& bytes) {
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok)
        ok = std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        std::remove(temporary.c_str());
    return ok;
}

int Usage() {
    std::fprintf(stderr, "usage: nvpack [--repo DIR] INPUT OUTPUT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string repo = ".";
    int i = 1;
    if (i < argc && std::strcmp(argv[i], "--repo") == 0) {
        if (i + 1 >= argc)
            return Usage();
        repo = argv[i + 1];
        i += 2;
    }
    if (argc - i != 2)
        return Usage();
    const char* input = argv[i];
    const char* output = argv[i + 1];

    std::vector<unsigned char> bytes;
    if (!ReadAll(input, bytes)) {
        std::fprintf(stderr, "nvpack: cannot read %s: %s\n", input, std::strerror(errno));
        return 1;
    }
    nvpack::TimeStamp stamp;
    std::string error;
    if (!nvpack::ResolveTimeStamp(std::getenv("SOURCE_DATE_EPOCH"), repo, stamp, error)) {
        std::fprintf(stderr, "nvpack: %s\n", error.c_str());
        return 1;
    }
    std::vector<unsigned char> container;
    if (!nvpack::BuildContainer(bytes, stamp.fileTime, container, error)) {
        std::fprintf(stderr, "nvpack: %s: %s\n", input, error.c_str());
        return 1;
    }
    if (!WriteAll(output, container)) {
        std::fprintf(stderr, "nvpack: cannot write %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    std::printf("nvpack: %s: %zu bytes -> %zu bytes (time stamp from %s)\n", output, bytes.size(),
                container.size(), stamp.source.c_str());
    return 0;
}
