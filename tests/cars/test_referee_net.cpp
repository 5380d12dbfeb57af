// The host's referee step over a real session: this process hosts a game on
// 127.0.0.1, a separate player program joins it, and what DetectCollisions
// decides about that player's car reaches the player as messages.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cars/cars.h"
#include "cars/u_collisiondetection.h"
#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"
#include "race/racestate.h"
#include "race/spiel.h"

namespace {

// Runs the event loop (session events, the player's output) until done()
// or the time is up.
template <class Done>
bool WaitFor(const Done& done, int ms = 10000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

class Player {
public:
    Player()
    {
        proc_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            partial_ += proc_.readAllStandardOutput().toStdString();
            for (size_t at; (at = partial_.find('\n')) != std::string::npos; partial_.erase(0, at + 1))
                lines.push_back(partial_.substr(0, at));
        });
        proc_.start(QString(REFEREE_PLAYER), {"schiedsrichter", "gast"});
    }
    ~Player()
    {
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(3000)) {
            proc_.kill();
            proc_.waitForFinished(3000);
        }
    }
    bool Started() { return proc_.waitForStarted(5000); }
    std::vector<std::string> lines;

private:
    QProcess proc_;
    std::string partial_;
};

D3DVECTOR ParseSetPos(const std::string& line, int& stop)
{
    std::istringstream in(line);
    std::string word;
    D3DVECTOR p;
    in >> word >> p.x >> p.y >> p.z >> stop;
    return p;
}

}  // namespace

TEST(RefereeOverTheSession, GatePassesAndPutBacksReachThePlayer)
{
    TDXPlay host;
    std::vector<uint32_t> added;
    host.OnAddPlayer = [&](TDXPlayPlayer& p) {
        if (p.Remote) added.push_back(p.ID);
    };
    host.SetProviderName(DPSPNAME_TCPIP);
    host.CreateSession("schiedsrichter", "host");
    ASSERT_TRUE(host.Opened());
    u_multiplayer::AttachSession(&host);

    Player guest;
    ASSERT_TRUE(guest.Started());
    ASSERT_TRUE(WaitFor([&] { return !added.empty() && !guest.lines.empty(); })) << "the player did not join";
    ASSERT_EQ(guest.lines[0].rfind("opened ", 0), 0u) << guest.lines[0];
    const uint32_t guestId = added[0];
    EXPECT_EQ(guest.lines[0], "opened " + std::to_string(guestId));

    // The race: the host's own car and the guest's, five gates along z.
    for (auto& r : spiel::PlayerTable) {
        r = spiel::TPlayerRec{};
        for (size_t i = 0; i < r.Hull.size(); ++i) r.Hull[i] = cars::CarHull[i];
    }
    for (int g = 0; g < 5; ++g) {
        spiel::GateTable[g].Pos = {0, 0, 3000.0f * g};
        spiel::GateTable[g].World = TranslateMatrix(spiel::GateTable[g].Pos);
    }
    for (auto& t : spiel::TreeTable) t.Pos = {-12000, 0, -12000};
    spiel::TreeTable[3].Pos = {4000, 0, 5000};
    spiel::GateOrder = {1, 2, 3, 4, 0};
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    spiel::TPlayerRec& guestCar = spiel::PlayerTable[1];
    me.Id = host.LocalPlayer()->ID;
    guestCar.Id = guestId;

    // Frame 1: both cars cross their next gate (gate 1 at z = 3000).
    me.Pos = {-200, 0, 2950};
    guestCar.Pos = {300, 0, 2950};
    cars::UpdateGateSides();
    me.Move = guestCar.Move = {0, 0, 100};
    me.Pos += me.Move;
    guestCar.Pos += guestCar.Move;
    u_collisiondetection::DetectCollisions();
    cars::UpdateGateSides();
    EXPECT_EQ(me.GatesPassed, 1);
    EXPECT_EQ(guestCar.GatesPassed, 1);
    EXPECT_EQ(spiel::GoalPos, (spiel::GateTable[2].Pos + D3DVECTOR{0, 100, 0}));

    // Frame 2: the guest's car runs into a tree.
    guestCar.SafePos = {4000, 0, 4850};
    guestCar.Move = {0, 0, 100};
    guestCar.Pos = guestCar.SafePos + guestCar.Move;
    u_collisiondetection::DetectCollisions();
    cars::UpdateGateSides();
    EXPECT_EQ(guestCar.Pos, guestCar.SafePos);

    // Frame 3: the guest drives into the host's car from behind; only the
    // z part of its move is undone.
    me.Pos = {-2000, 10, 7000};
    me.Move = {};
    guestCar.Move = {4, 0, 20};
    guestCar.Pos = D3DVECTOR{-2010, 0, 6775} + guestCar.Move;
    u_collisiondetection::DetectCollisions();
    EXPECT_EQ(guestCar.Pos, (D3DVECTOR{-2006, 0, 6775}));

    ASSERT_TRUE(WaitFor([&] { return guest.lines.size() >= 5; })) << guest.lines.size() << " lines";
    // In the order sent, guaranteed: "updatemygoal" to all, "nexttor" to
    // the guest, the tree's put-back with a stop, the car's without.
    EXPECT_EQ(guest.lines[1], "text 2 updatemygoal");
    EXPECT_EQ(guest.lines[2], "text 2 nexttor");
    int stop = -1;
    D3DVECTOR p = ParseSetPos(guest.lines[3], stop);
    EXPECT_EQ(guest.lines[3].rfind("setpos ", 0), 0u) << guest.lines[3];
    EXPECT_EQ(stop, 1);
    EXPECT_NEAR(p.x, 4000, 1e-3);
    EXPECT_NEAR(p.z, 4840, 1e-3);
    p = ParseSetPos(guest.lines[4], stop);
    EXPECT_EQ(stop, 0);
    EXPECT_NEAR(p.x, -2006, 1e-3);
    EXPECT_NEAR(p.z, 6775, 1e-3);
    // Nothing else went to the guest.
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(guest.lines.size(), 5u);

    u_multiplayer::AttachSession(nullptr);
    host.Close();
}

int main(int argc, char** argv)
{
    // Searches ask this machine only, and never broadcast.
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("CI", "1", 1);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
