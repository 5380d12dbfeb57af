// The bad network library: the probe, started with it preloaded, sends
// numbered datagrams over 127.0.0.1; what arrived and the library's counters
// must match the settings it was given.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

constexpr int kCount = 1000;

struct Case {
    const char* env;
    double loss, dup, delayMs, jitterMs;
};

// The probe's figures and the library's counters, by name.
std::map<std::string, double> Probe(const std::string& env)
{
    const std::string stats = std::filesystem::temp_directory_path() / ("badnet." + std::to_string(getpid()));
    const std::string cmd = "env LD_PRELOAD=" BADNET_LIB " BADNET_SEED=1 BADNET_STATS=" + stats + " " + env + " " +
                            BADNET_PROBE " " + std::to_string(kCount);
    std::map<std::string, double> seen;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char key[32];
        double v;
        while (std::fscanf(p, "%31s %lf", key, &v) == 2) seen[key] = v;
        pclose(p);
    }
    std::ifstream f(stats);
    std::string key;
    double v;
    while (f >> key >> v) seen[key] = v;
    std::filesystem::remove(stats);
    return seen;
}

// Five standard deviations of a count of n draws with chance p, and one more.
double Tolerance(double p) { return 5 * std::sqrt(kCount * p * (1 - p)) + 1; }

}  // namespace

TEST(BadNetLibrary, CountersAndArrivalsMatchTheSettings)
{
    const std::string touched = std::filesystem::temp_directory_path() / ("badnet.burst." + std::to_string(getpid()));
    std::ofstream{touched};
    const Case cases[] = {
        {"", 0, 0, 0, 0},
        {"BADNET_LOSS=0 BADNET_DELAY_MS=0 BADNET_JITTER_MS=0 BADNET_DUP=0", 0, 0, 0, 0},
        {"BADNET_LOSS=0.2", 0.2, 0, 0, 0},
        {"BADNET_DELAY_MS=30 BADNET_JITTER_MS=10", 0, 0, 30, 10},
        {"BADNET_DUP=0.1", 0, 0.1, 0, 0},
        {"BADNET_LOSS=0.1 BADNET_DELAY_MS=100 BADNET_JITTER_MS=20 BADNET_DUP=0.01", 0.1, 0.01, 100, 20},
        // A window of loss: around the whole run, or still to come.
        {"BADNET_BURST=0:600000:1", 1, 0, 0, 0},
        {"BADNET_BURST=600000:1000:1", 0, 0, 0, 0},
        // ...counted from a file's time: there, or not yet.
        {"BADNET_BURST=0:600000:1 BADNET_BURST_FILE=/nonexistent/badnet", 0, 0, 0, 0},
        {nullptr, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const std::string env = c.env != nullptr ? c.env : "BADNET_BURST=0:600000:1 BADNET_BURST_FILE=" + touched;
        SCOPED_TRACE(env);
        auto s = Probe(env);
        EXPECT_EQ(s["sent"], kCount);
        EXPECT_EQ(s["unix"], kCount);  // other sockets are left alone
        EXPECT_NEAR(s["dropped"], c.loss * kCount, Tolerance(c.loss));
        EXPECT_NEAR(s["duplicated"], c.dup * kCount, Tolerance(c.dup));
        EXPECT_EQ(s["received"], s["sent"] - s["dropped"] + s["duplicated"]);
        if (c.delayMs > 0) {
            EXPECT_EQ(s["delayed"], s["received"]);
            EXPECT_GE(s["min_ms"], c.delayMs - c.jitterMs);
        } else {
            EXPECT_EQ(s["delayed"], 0);
            if (s["received"] > 0) EXPECT_LT(s["min_ms"], 20);
        }
        // Jitter reorders; without it the order is kept.
        if (c.jitterMs > 0)
            EXPECT_GT(s["reordered"], 0);
        else
            EXPECT_EQ(s["reordered"], 0);
    }
    std::filesystem::remove(touched);
}
