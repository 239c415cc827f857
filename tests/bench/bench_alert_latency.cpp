// Alert latency: from the server's send request to the alert message posted
// by the connection thread; acknowledgement latency: from the window's flag
// to the server's "acknowledged" event. Real thread, real server, loopback.
//   bench_alert_latency [--server PATH] [--alerts N] [--acks N]
#include "AlertServerProcess.h"
#include "client/MessageQueuePoster.h"
#include "client/UThreadNivaxel.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using Ms = std::chrono::duration<double, std::milli>;

void Report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
    };
    std::printf("%-22s n=%zu  median %.3f ms  p99 %.3f ms  mean %.3f ms  max %.3f ms\n", what,
                v.size(), at(0.5), at(0.99), sum / v.size(), v.back());
}

int Arg(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int alerts = Arg(argc, argv, "--alerts", 1000);
    const int acks = Arg(argc, argv, "--acks", 200);
    nvbench::AlertServerProcess server(nvbench::AlertServerPath(argc, argv));
    nv::MessageQueuePoster poster;
    nv::DrapeauxAlerte flags;
    nv::OptionsThread o;
    o.poster = &poster;
    o.drapeaux = &flags;
    nv::TThreadNivaxel thread("127.0.0.1", server.Port(), nullptr, o);
    nv::MessagePoste m;
    if (!poster.Attend(m, 10000) || m.message != nv::kMessageConnecte ||
        !server.WaitCount("identified", 1, 10000)) {
        std::fprintf(stderr, "the thread did not connect\n");
        return 1;
    }
    nvbench::AdminLink admin(server.AdminPort(), server.Token());
    const std::string request =
        "{\"everyone\":true,\"author\":\"Bench\",\"subject\":\"Latence\",\"date\":\"now\","
        "\"lines\":[\"Une ligne de texte d'alerte ordinaire.\",\"Et une seconde.\"]}";

    std::vector<double> alertMs, ackMs;
    for (int i = 0; i < alerts; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        admin.Send(request);
        if (!poster.Attend(m, 10000) || m.message != nv::kMessageAlerte) {
            std::fprintf(stderr, "alert %d not posted\n", i);
            return 1;
        }
        alertMs.push_back(Ms(std::chrono::steady_clock::now() - t0).count());
        if (admin.Answer().find("\"sent_now\":1") == std::string::npos) {
            std::fprintf(stderr, "alert %d not sent\n", i);
            return 1;
        }
        if (i < acks) {
            // A person clicks at any moment of the thread's 100 ms wait, not
            // right after the alert arrived.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 150));
            const std::size_t before = server.Count("acknowledged");
            const auto t1 = std::chrono::steady_clock::now();
            flags.Acquittee = true;
            if (!server.WaitCount("acknowledged", before + 1, 10000)) {
                std::fprintf(stderr, "acknowledgement %d lost\n", i);
                return 1;
            }
            ackMs.push_back(Ms(std::chrono::steady_clock::now() - t1).count());
        }
    }
    std::printf("loopback, real connection thread (100 ms data wait), nivaxel-server\n");
    Report("alert send->posted", alertMs);
    if (!ackMs.empty())
        Report("ack flag->server", ackMs);
    return 0;
}
