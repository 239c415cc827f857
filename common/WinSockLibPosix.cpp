#include "common/FakeLibraryApi.h"

namespace nv {

template <> LibraryApi& detail::DefaultApi<LibraryApi>() {
    static FakeLibraryApi loader; // away from Windows there is nothing to load
    return loader;
}

} // namespace nv
