// The balancer's PROXY header over any bytes: never a crash or an
// over-read; a header read is within the input and the limit, every
// shorter cut of it waits for more, and a refusal stands whatever follows.
#include "server/ProxyHeader.h"

#include <cstdint>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Status = nvserver::ProxyHeader::Status;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const nvserver::ProxyHeader whole = nvserver::ParseProxyHeader(in);
    if (whole.status == Status::Done) {
        Check(whole.length >= 16 && whole.length <= size && whole.length <= nvserver::kMaxProxyHeader);
        Check(whole.proxied == !whole.ip.empty());
        for (std::size_t n = 0; n < whole.length; ++n)
            Check(nvserver::ParseProxyHeader(in.substr(0, n)).status == Status::NeedMore);
    } else if (whole.status == Status::Invalid) {
        Check(!whole.error.empty());
    }
    // What was refused on a cut is refused on the whole.
    const nvserver::ProxyHeader cut = nvserver::ParseProxyHeader(in.substr(0, size / 2));
    if (cut.status == Status::Invalid)
        Check(whole.status == Status::Invalid && whole.error == cut.error);
    return 0;
}
