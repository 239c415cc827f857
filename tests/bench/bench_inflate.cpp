// Unpacking a payload container as the installer does: time per unpack,
// inflate calls, and the sizes. Usage: bench_inflate [CONTAINER] [RUNS]
// (without a container, this program's own file is packed and used).
#include "common/MemoryResources.h"
#include "common/UDataRessources.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string PackSelf() {
    const std::string program = ReadFile("/proc/self/exe");
    uLongf n = compressBound(static_cast<uLong>(program.size()));
    std::string container(128 + n, '\0');
    compress2(reinterpret_cast<Bytef*>(&container[128]), &n,
              reinterpret_cast<const Bytef*>(program.data()), static_cast<uLong>(program.size()),
              9);
    container.resize(128 + n);
    container[0] = 1;
    for (int i = 0; i < 8; ++i)
        container[16 + static_cast<std::size_t>(i)] =
            static_cast<char>(static_cast<std::uint64_t>(program.size()) >> (8 * i));
    return container;
}

} // namespace

int main(int argc, char** argv) {
    const std::string container = argc > 1 ? ReadFile(argv[1]) : PackSelf();
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    if (container.size() < 128) {
        std::fprintf(stderr, "bench_inflate: %s is not a payload container\n",
                     argc > 1 ? argv[1] : "(self)");
        return 1;
    }
    nv::MemoryResources resources;
    nv::ScopedResourceApi scope(resources);
    resources.Add("NIVAXEL", container);

    std::vector<double> ms;
    std::int32_t size = 0;
    for (int i = 0; i < runs; ++i) {
        nv::PayloadHeader header;
        nv::PayloadBuffer data;
        std::string text;
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = nv::ReadPayloadResource("NIVAXEL", header, data, size, text);
        const auto t1 = std::chrono::steady_clock::now();
        if (!ok) {
            std::fprintf(stderr, "bench_inflate: the reader failed: %s\n", text.c_str());
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    nv::PayloadBuffer data;
    std::int32_t inflated = 0;
    const nv::InflateOutcome outcome =
        nv::InflateToBuffer(container.data() + 128,
                            static_cast<std::int32_t>(container.size() - 128), data, inflated, 0);
    std::sort(ms.begin(), ms.end());
    std::printf("container        %zu bytes (%s)\n", container.size(),
                argc > 1 ? argv[1] : "this program, level 9");
    std::printf("compressed       %zu bytes\n", container.size() - 128);
    std::printf("unpacked         %d bytes (ratio %.2f)\n", size,
                static_cast<double>(size) / static_cast<double>(container.size() - 128));
    std::printf("step             %zu bytes\n", (container.size() - 128 + 255) / 256 * 256);
    std::printf("inflate calls    %u\n", outcome.inflateCalls);
    std::printf("read+unpack      min %.3f ms, median %.3f ms, max %.3f ms over %d runs\n",
                ms.front(), ms[ms.size() / 2], ms.back(), runs);
    return 0;
}
