// The web console inside the server: its routes on the admin listener, its
// sessions in the API's authentication, its audit lines in the store.
#pragma once

#include "Api.h"
#include "Http.h"

#include "console/ConsoleHttp.h"
#include "console/UserCommand.h"

#include <memory>
#include <string>

namespace nvserver {

class ConsoleLink {
  public:
    // nullptr after writing why on stderr.
    static std::unique_ptr<ConsoleLink> Open(const std::string& dataDir, Store& store, bool tls);
    void Attach(Api& api, HttpOptions& http);
    // Console sign-in with directory accounts, beside the local ones.
    void UseDirectory(const Directory& directory);

  private:
    nvconsole::UserDatabase db_;
    std::unique_ptr<nvconsole::Console> console_;
};

// The session check's view of an API request.
nvconsole::RequestInfo ConsoleRequest(const ApiRequest& r);

} // namespace nvserver
