// The web console inside the server: its routes on the admin listener, its
// sessions in the API's authentication, its audit lines in the store.
#pragma once

#include "Api.h"
#include "Http.h"

#include "Store.h"

#include "console/ConsoleHttp.h"
#include "console/UserCommand.h"

#include <memory>
#include <string>

namespace nvserver {

class ConsoleLink {
  public:
    // Accounts in `database` when given, else in DIR's file: the one `store`
    // has opened, and migrated, already. nullptr after writing why on stderr.
    static std::unique_ptr<ConsoleLink> Open(const std::string& dataDir, const std::string& database,
                                             Store& store, bool tls);
    void Attach(Api& api, HttpOptions& http);
    // Console sign-in with directory accounts, beside the local ones.
    void UseDirectory(const Directory& directory);

  private:
    std::unique_ptr<nvconsole::UserStore> users_;
    std::unique_ptr<nvconsole::Console> console_;
};

// The accounts on their own connection to a database whose schema is ready:
// a PostgreSQL connection string, or an SQLite file. Throws db::DbError.
std::unique_ptr<nvconsole::UserStore> OpenUsers(const std::string& location);

// The `user` command on the server's database: opening it brings the schema
// up to date, and its changes are audited in it.
class UserCommandStore : public nvconsole::UserCommandHost {
  public:
    std::unique_ptr<nvconsole::UserStore> Open(const std::string& dataDir, const std::string& database,
                                               std::ostream& err) override;
    bool Audit(const std::string& action, const std::string& detail) override;

  private:
    std::unique_ptr<Store> store_;
};

// The session check's view of an API request.
nvconsole::RequestInfo ConsoleRequest(const ApiRequest& r);

} // namespace nvserver
