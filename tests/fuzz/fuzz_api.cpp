// The API's request handling: method, path, query, headers and body from
// the fuzzer, against an in-memory database with one admin token.
//   input: method byte, then path?query LF, then Authorization value LF, then body
#include "server/Api.h"

#include <cstdint>
#include <string>

namespace {

class NoStations : public nvserver::Dispatch {
  public:
    int Deliver(const nvserver::Alert&) override { return 0; }
    void Cancel(std::int64_t) override {}
    void GroupsChanged() override {}
};

struct World {
    nvserver::Store store{":memory:"};
    nvserver::EventHub hub;
    NoStations dispatch;
    nvserver::Api api{store, hub, dispatch};
    std::string token;
    World() {
        std::int64_t id = 0;
        token = store.CreateToken("admin", "fuzz", id);
    }
};

std::string Line(const std::string& in, std::size_t& at) {
    const std::size_t nl = in.find('\n', at);
    const std::size_t end = nl == std::string::npos ? in.size() : nl;
    std::string out = in.substr(at, end - at);
    at = end == in.size() ? end : end + 1;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World* world = new World;
    if (size == 0)
        return 0;
    static const char* const methods[] = {"GET", "POST", "PUT", "DELETE"};
    const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
    nvserver::ApiRequest r;
    r.method = methods[data[0] & 3];
    r.remoteAddress = "127.0.0.1";
    std::size_t at = 0;
    std::string target = Line(in, at);
    const std::size_t q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) {
        // key=value&... as the transport would have split them
        std::string query = target.substr(q + 1);
        for (std::size_t p = 0; p <= query.size();) {
            const std::size_t amp = std::min(query.find('&', p), query.size());
            const std::string pair = query.substr(p, amp - p);
            const std::size_t eq = pair.find('=');
            r.params.emplace(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
            p = amp + 1;
        }
    }
    const std::string auth = Line(in, at);
    r.headers["authorization"] = auth == "T" ? "Bearer " + world->token : auth;
    r.body = in.substr(at);
    const nvserver::ApiResponse out = world->api.Handle(r);
    if (out.status < 200 || out.status > 599)
        __builtin_trap();
    return 0;
}
