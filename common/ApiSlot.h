// One slot per OS interface: the platform's own implementation, or a double
// that a test swaps in for a while. Each interface's header declares its
// default (detail::DefaultApi<XxxApi>) and the platform files define it.
#pragma once

#include <atomic>

namespace nv {

namespace detail {

template <class Api> Api& DefaultApi();

// Atomic because some slots are read from the connection thread while a
// test swaps its double in on the main one.
template <class Api> inline std::atomic<Api*> g_apiOverride{nullptr};

} // namespace detail

template <class Api> Api& CurrentApi() {
    Api* api = detail::g_apiOverride<Api>.load();
    return api ? *api : detail::DefaultApi<Api>();
}

// Swaps in a double for the life of the object; swaps nest and must end in
// reverse order.
template <class Api> class ScopedApi {
  public:
    explicit ScopedApi(Api& api) : previous_(detail::g_apiOverride<Api>.exchange(&api)) {}
    ~ScopedApi() { detail::g_apiOverride<Api>.store(previous_); }
    ScopedApi(const ScopedApi&) = delete;
    ScopedApi& operator=(const ScopedApi&) = delete;

  private:
    Api* previous_;
};

} // namespace nv
