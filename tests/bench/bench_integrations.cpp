// Other systems into the server: prints the time from an Alertmanager
// webhook (the JSON Alertmanager sends, posted on one kept-alive
// connection) to the last of N stations holding the alert, and how many CAP
// documents the API accepts per second (parsed, checked against the schema,
// judged, stored; sent to a group with no station online).
//   bench_integrations [--server PATH] [--clients N] [--cap-documents M]
#include "AlertServerProcess.h"
#include "StationFrames.h"
#include "client/UDataEntete.h"

#include <ctime>
#include <vector>

namespace {

using Ms = std::chrono::duration<double, std::milli>;
using Clock = std::chrono::steady_clock;
using nvbench::StationFrame;

// Station i, connected and identified.
int Connect(std::uint16_t port, int i) {
    const int fd = nvbench::ConnectStation(port, i);
    const std::string id = StationFrame(nv::Identification, "NS=PC" + std::to_string(i) + "\r\nNU=user");
    if (::send(fd, id.data(), id.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(id.size()))
        std::exit(1);
    return fd;
}

std::string CapTimeNow(long offsetSeconds) {
    const std::time_t t = std::time(nullptr) + offsetSeconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S-00:00", &tm);
    return buf;
}

std::string CapDocument(int i) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><alert xmlns=\"urn:oasis:names:tc:emergency:cap:1.2\">"
           "<identifier>bench-" + std::to_string(i) + "</identifier><sender>bench@example.org</sender><sent>" +
           CapTimeNow(0) + "</sent><status>Actual</status><msgType>Alert</msgType><scope>Public</scope><info>"
           "<language>fr-FR</language><category>Safety</category><event>Essai</event><urgency>Immediate</urgency>"
           "<severity>Severe</severity><certainty>Observed</certainty><expires>" + CapTimeNow(3600) +
           "</expires><senderName>Banc</senderName><headline>Document " + std::to_string(i) +
           "</headline><description>Une ligne.\nUne autre.</description><area><areaDesc>salle</areaDesc></area>"
           "</info></alert>";
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure out as soon as it is known
    const rlim_t limit = nvbench::RaiseDescriptorLimit();
    int n = 10000, documents = 1000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--clients") == 0)
            n = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--cap-documents") == 0)
            documents = std::atoi(argv[i + 1]);
    }
    if (static_cast<rlim_t>(n) + 64 > limit) {
        std::printf("N=%d skipped: descriptor limit %llu\n", n, static_cast<unsigned long long>(limit));
        return 0;
    }
    nvbench::AlertServerProcess server(nvbench::AlertServerPath(argc, argv));
    nvbench::AdminLink admin(server.AdminPort(), server.Token());

    admin.Send("{\"computers\":[\"PC-absent\"]}", "PUT", "/api/groups/salle");
    admin.Answer();
    const auto c0 = Clock::now();
    int accepted = 0;
    for (int i = 0; i < documents; ++i) {
        admin.Send(CapDocument(i), "POST", "/api/cap");
        const std::string answer = admin.Answer();
        if (answer.empty()) {
            std::fprintf(stderr, "no answer to CAP document %d\n", i);
            return 1;
        }
        accepted += answer.find("\"alert\":{") != std::string::npos;
    }
    const double capMs = Ms(Clock::now() - c0).count();
    std::printf("CAP: %d of %d documents accepted in %.1f ms: %.0f documents/s\n", accepted, documents, capMs,
                accepted * 1000.0 / capMs);

    std::string names;
    for (int i = 0; i < n; ++i)
        names += (i ? ",\"PC" : "\"PC") + std::to_string(i) + "\"";
    admin.Send("{\"computers\":[" + names + "]}", "PUT", "/api/groups/tous");
    admin.Answer();
    std::vector<int> fds;
    for (int i = 0; i < n; ++i)
        fds.push_back(Connect(server.Port(), i));
    if (!server.WaitCount("identified", static_cast<std::size_t>(n), 120000)) {
        std::fprintf(stderr, "only %zu of %d stations identified\n", server.Count("identified"), n);
        return 1;
    }
    // The 1000 CAP alerts above went to the "salle" group: the stations here hold nothing yet.
    const std::string hook =
        R"({"version":"4","groupKey":"{}:{alertname=\"Bench\"}","status":"firing","receiver":"nivaxel",)"
        R"("groupLabels":{"alertname":"Bench"},"commonLabels":{"alertname":"Bench","nivaxel_target":"tous"},)"
        R"("commonAnnotations":{"summary":"banc"},"externalURL":"http://127.0.0.1:9093","truncatedAlerts":0,)"
        R"("alerts":[{"status":"firing","labels":{"alertname":"Bench","nivaxel_target":"tous"},)"
        R"("annotations":{"summary":"banc d'essai"},"startsAt":"2026-12-10T00:00:00Z",)"
        R"("endsAt":"0001-01-01T00:00:00Z","generatorURL":"","fingerprint":"0123456789abcdef"}]})";
    const auto t0 = Clock::now();
    admin.Send(hook, "POST", "/api/hooks/alertmanager");
    if (!nvbench::AllReceive(fds))
        return 1;
    const double fanMs = Ms(Clock::now() - t0).count();
    const std::string answer = admin.Answer();
    std::printf("Alertmanager webhook -> last of %d stations holding the alert: %.2f ms (answer %.60s...; "
                "idle API connection reopened %d time(s))\n",
                n, fanMs, answer.c_str(), admin.Reopened());
    for (int fd : fds)
        ::close(fd);
    std::system(("rm -rf " + server.DataDir()).c_str());
    return answer.find("\"id\":") != std::string::npos ? 0 : 1;
}
