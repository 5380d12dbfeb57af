// Whole games of separate player programs on 127.0.0.1: joining, the
// player lists, message delivery, leaving and vanishing, the host hand-over
// and searching.
#include "tests/dxplay/player_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <sstream>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Players = std::vector<std::pair<uint32_t, std::string>>;

uint32_t OpenedId(const std::optional<std::string>& line) {
    if (!line) return 0;
    std::istringstream in(*line);
    std::string word;
    uint32_t id = 0;
    in >> word >> id;
    return id;
}

Players ParsePlayers(const std::optional<std::string>& line) {
    Players out;
    if (!line) return out;
    std::istringstream in(*line);
    std::string word;
    size_t n = 0;
    in >> word >> n;
    while (in >> word) {
        size_t colon = word.find(':');
        out.emplace_back(static_cast<uint32_t>(std::stoul(word.substr(0, colon))), word.substr(colon + 1));
    }
    return out;
}

std::map<uint32_t, uint32_t> ParseStats(const std::optional<std::string>& line) {
    std::map<uint32_t, uint32_t> out;
    if (!line) return out;
    std::istringstream in(*line);
    std::string word;
    in >> word;
    while (in >> word) {
        size_t colon = word.find(':');
        out[static_cast<uint32_t>(std::stoul(word.substr(0, colon)))] =
            static_cast<uint32_t>(std::stoul(word.substr(colon + 1)));
    }
    return out;
}

// A host and count-1 joiners of the game "rennen", each joined after the
// previous one is in.
struct Game {
    std::vector<std::unique_ptr<PlayerProcess>> procs;
    std::vector<uint32_t> ids;

    bool Start(int count) {
        for (int i = 0; i < count; ++i)
            if (!Add()) return false;
        return WaitForCount(count);
    }

    // The next player: the first hosts, the others join.
    bool Add() {
        const size_t i = procs.size();
        procs.push_back(std::make_unique<PlayerProcess>());
        PlayerProcess& p = *procs.back();
        if (!p.Started()) return false;
        p.Say((i == 0 ? "host rennen p" : "join rennen p") + std::to_string(i));
        auto opened = p.ExpectOneOf({"opened", "error"}, 15000);
        if (!opened || opened->rfind("opened ", 0) != 0) {
            ADD_FAILURE() << "player " << i << ": " << opened.value_or("no answer");
            return false;
        }
        ids.push_back(OpenedId(opened));
        return true;
    }

    // Until every program lists count players.
    bool WaitForCount(int count, int ms = 10000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (auto& p : procs) {
            if (!p) continue;
            while (true) {
                auto list = ParsePlayers(p->Ask("players", "players"));
                if (static_cast<int>(list.size()) == count) break;
                if (std::chrono::steady_clock::now() >= until) return false;
                Settle(50);
            }
        }
        return true;
    }
};

TEST(SessionGame, TenPlayersShareOneListAndTheEleventhIsRefused) {
    Game g;
    ASSERT_TRUE(g.Start(9));
    // The eleventh finds the game while there is room...
    PlayerProcess eleventh;
    ASSERT_TRUE(eleventh.Started());
    EXPECT_EQ(eleventh.Ask("search", "sessions"), "sessions 1");
    ASSERT_TRUE(g.Add());
    ASSERT_TRUE(g.WaitForCount(10));

    std::set<uint32_t> idSet(g.ids.begin(), g.ids.end());
    EXPECT_EQ(idSet.size(), 10u) << "ids are unique";
    EXPECT_EQ(idSet.count(0), 0u);

    Players reference;
    for (size_t i = 0; i < g.procs.size(); ++i) {
        Players list = ParsePlayers(g.procs[i]->Ask("players", "players"));
        ASSERT_EQ(list.size(), 10u);
        EXPECT_EQ(list.front().first, g.ids[i]) << "own player first";
        EXPECT_EQ(list.front().second, "p" + std::to_string(i));
        std::sort(list.begin(), list.end());
        if (i == 0) {
            reference = list;
        } else {
            EXPECT_EQ(list, reference) << "player " << i << " sees another game";
        }
    }
    // Host gets an add event for itself and each of the nine.
    EXPECT_EQ(g.procs[0]->All("add ").size(), 10u);
    EXPECT_EQ(g.procs[0]->Ask("ishost", "ishost"), "ishost 1");
    EXPECT_EQ(g.procs[5]->Ask("ishost", "ishost"), "ishost 0");

    // ...but is turned away once it is full, and a full game is not offered.
    eleventh.Say("join rennen p10");
    EXPECT_EQ(eleventh.ExpectOneOf({"opened", "error"}, 15000), "error Session rennen cannot be opened");
    EXPECT_EQ(eleventh.Ask("players", "players"), "players 0");
    EXPECT_EQ(eleventh.Ask("search", "sessions"), "sessions 0");

    Settle(300);
    for (auto& p : g.procs) {
        EXPECT_EQ(ParsePlayers(p->Ask("players", "players")).size(), 10u);
        EXPECT_TRUE(p->All("delete ").empty());
    }
    EXPECT_EQ(g.procs[0]->All("add ").size(), 10u) << "nobody noticed the refused joiner";
}

TEST(SessionGame, GuaranteedMessagesArriveEverywhereOnceAndInOrder) {
    Game g;
    ASSERT_TRUE(g.Start(4));
    // Chat-sized lines from everyone to everyone.
    for (auto& p : g.procs) p->Say("send 0 200 60");
    // Then a burst from one player.
    g.procs[2]->Say("send 0 10000 40");
    // And a newcomer that speaks the moment it is in.
    g.procs.push_back(std::make_unique<PlayerProcess>());
    PlayerProcess& late = *g.procs.back();
    late.Say("join rennen spaet\nsend 0 50 60");
    auto opened = late.ExpectOneOf({"opened", "error"}, 15000);
    ASSERT_TRUE(opened && opened->rfind("opened ", 0) == 0) << opened.value_or("no answer");
    g.ids.push_back(OpenedId(opened));

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The four that were there from the start (the newcomer missed some).
    for (size_t i = 0; i < 4; ++i) {
        std::map<uint32_t, uint32_t> expected;
        for (size_t j = 0; j < g.procs.size(); ++j) {
            if (j != i) expected[g.ids[j]] = (j == 2) ? 10200 : (j == 4) ? 50 : 200;
        }
        std::map<uint32_t, uint32_t> got;
        while (std::chrono::steady_clock::now() < until) {
            got = ParseStats(g.procs[i]->Ask("stats", "stats"));
            if (got == expected) break;
            Settle(100);
        }
        EXPECT_EQ(got, expected) << "player " << i << " (its own messages never come back)";
        EXPECT_EQ(g.procs[i]->Expect("disorder"), "disorder 0");
        EXPECT_EQ(g.procs[i]->Expect("early"), "early 0");
    }
}

TEST(SessionGame, LeavingAndKilledPlayersAreDeletedEverywhere) {
    Game g;
    ASSERT_TRUE(g.Start(4));

    g.procs[1]->Say("leave");
    for (size_t i : {0u, 2u, 3u})
        EXPECT_TRUE(g.procs[i]->Expect("delete " + std::to_string(g.ids[1]) + " p1", 3000)) << i;

    // Vanishing without a word: noticed by the connection time-out, which
    // is set to about a second; five seconds is the bound we promise.
    g.procs[3]->Kill();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i : {0u, 2u}) {
        EXPECT_TRUE(g.procs[i]->Expect("delete " + std::to_string(g.ids[3]) + " p3", 5000)) << i;
    }
    std::printf("killed peer noticed after %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(ParsePlayers(g.procs[0]->Ask("players", "players")).size(), 2u);
    EXPECT_EQ(ParsePlayers(g.procs[2]->Ask("players", "players")).size(), 2u);
}

TEST(SessionGame, PlayersJoiningAtTheSameTimeAllSeeEachOther) {
    Game g;
    ASSERT_TRUE(g.Start(1));
    std::vector<std::unique_ptr<PlayerProcess>> crowd;
    for (int i = 0; i < 6; ++i) {
        crowd.push_back(std::make_unique<PlayerProcess>());
        crowd.back()->Ask("search", "sessions");
    }
    for (int i = 0; i < 6; ++i) crowd[i]->Say("join rennen q" + std::to_string(i));
    std::set<uint32_t> ids{g.ids[0]};
    for (auto& c : crowd) {
        auto opened = c->ExpectOneOf({"opened", "error"}, 15000);
        ASSERT_TRUE(opened && opened->rfind("opened ", 0) == 0) << opened.value_or("no answer");
        ids.insert(OpenedId(opened));
    }
    ASSERT_EQ(ids.size(), 7u);
    for (auto& c : crowd) g.procs.push_back(std::move(c));
    ASSERT_TRUE(g.WaitForCount(7));
    for (auto& p : g.procs) {
        Players list = ParsePlayers(p->Ask("players", "players"));
        std::set<uint32_t> seen;
        for (const auto& [id, name] : list) seen.insert(id);
        EXPECT_EQ(seen, ids);
    }
}

void HandOver(bool kill) {
    Game g;
    ASSERT_TRUE(g.Start(4));
    if (kill) {
        g.procs[0]->Kill();
    } else {
        g.procs[0]->Say("leave");
    }
    // Everyone sees the host go; the earliest joiner still present takes
    // over, and only it hears so.
    for (size_t i = 1; i < 4; ++i)
        EXPECT_TRUE(g.procs[i]->Expect("delete " + std::to_string(g.ids[0]), 6000)) << i;
    ASSERT_TRUE(g.procs[1]->Expect("host " + std::to_string(g.ids[1]), 3000));
    Settle(500);
    EXPECT_EQ(g.procs[2]->All("host ").size(), 0u);
    EXPECT_EQ(g.procs[3]->All("host ").size(), 0u);
    EXPECT_EQ(g.procs[1]->All("host ").size(), 1u);
    EXPECT_EQ(g.procs[1]->Ask("ishost", "ishost"), "ishost 1");
    EXPECT_EQ(g.procs[2]->Ask("ishost", "ishost"), "ishost 0");

    // The new host answers the search and lets a newcomer in.
    g.procs[0].reset();
    PlayerProcess late;
    ASSERT_TRUE(late.Started());
    EXPECT_EQ(late.Ask("search", "sessions"), "sessions 1");
    EXPECT_EQ(late.Expect("session "), "session rennen");
    late.Say("join rennen neu");
    auto opened = late.ExpectOneOf({"opened", "error"}, 15000);
    ASSERT_TRUE(opened && opened->rfind("opened ", 0) == 0) << opened.value_or("no answer");
    const uint32_t lateId = OpenedId(opened);
    for (size_t i = 1; i < 4; ++i)
        EXPECT_TRUE(g.procs[i]->Expect("add " + std::to_string(lateId) + " neu", 5000)) << i;
    Players list = ParsePlayers(late.Ask("players", "players"));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].first, lateId);
}

TEST(SessionGame, HostLeavesAndExactlyOnePlayerTakesOver) { HandOver(false); }
TEST(SessionGame, HostKilledAndExactlyOnePlayerTakesOver) { HandOver(true); }

TEST(SessionSearch, FindsEveryGameOfThisApplicationAndNoneWhenNoneRuns) {
    PlayerProcess seeker;
    ASSERT_TRUE(seeker.Started());
    EXPECT_EQ(seeker.Ask("search", "sessions"), "sessions 0");

    PlayerProcess a, b;
    PlayerProcess other(Env{{"DXPLAY_DRIVER_GUID", "{11111111-2222-3333-4444-555555555555}"}});
    PlayerProcess full(Env{{"DXPLAY_DRIVER_MAXPLAYERS", "1"}});
    ASSERT_TRUE(a.Ask("host erstes pa", "opened"));
    ASSERT_TRUE(b.Ask("host zweites pb", "opened"));
    ASSERT_TRUE(other.Ask("host fremdes po", "opened"));
    ASSERT_TRUE(full.Ask("host volles pf", "opened"));

    seeker.Say("search");
    auto count = seeker.Expect("sessions");
    std::set<std::string> names;
    for (int i = 0; count && i < std::stoi(count->substr(9)); ++i) {
        auto s = seeker.Expect("session ");
        if (s) names.insert(s->substr(8));
    }
    EXPECT_EQ(names, (std::set<std::string>{"erstes", "zweites"}));

    // A game of another application does not let our players in either.
    PlayerProcess stranger(Env{{"DXPLAY_DRIVER_GUID", "{11111111-2222-3333-4444-555555555555}"}});
    EXPECT_EQ(stranger.Ask("search", "sessions"), "sessions 1");
    EXPECT_EQ(stranger.Expect("session "), "session fremdes");
}

}  // namespace
