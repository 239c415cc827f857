// Prepared alerts over the API: templates with placeholders that an
// operator fills and sends, each user's drafts, and recurring alerts
// (/api/templates, /api/drafts, /api/schedules).
#pragma once

#include "Api.h"
#include "Store.h"

#include <map>
#include <string>
#include <vector>

namespace nvserver {

// The names between braces in a template's author, subject and lines, each
// once, in order: "{lieu}" is a part the operator fills in.
std::vector<std::string> Placeholders(const nlohmann::json& alert);
// The alert with every placeholder replaced by its value; false and the
// first name without a value in `missing` when one is left empty.
bool FillPlaceholders(nlohmann::json& alert, const std::map<std::string, std::string>& values,
                      std::string& missing);

class Prepared {
  public:
    Prepared(Store& store, Api& api) : store_(store), api_(api) {}
    // Routes the requests under /api/templates, /api/drafts and /api/schedules here.
    void Attach();
    ApiResponse Handle(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts);

  private:
    ApiResponse Templates(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts);
    ApiResponse SendTemplate(const ApiRequest& r, const Principal& who, std::int64_t id);
    ApiResponse Drafts(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts);
    ApiResponse Schedules(const ApiRequest& r, const Principal& who, const std::vector<std::string>& parts);

    Store& store_;
    Api& api_;
};

} // namespace nvserver
