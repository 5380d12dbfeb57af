// The race frame on the real pipeline: the game's world setup and frame over
// the generated data, ten cars on the grid, pixels read back at places the
// camera's own matrices say.
#include <cmath>
#include <functional>

#include "gfxtest.h"
#include "platform/gfx/gfxdevice.h"
#include "race/hud.h"
#include "race/racestate.h"
#include "race/render.h"
#include "race/setupworld.h"
#include "racescene.h"
#include "world/bsp.h"
#include "world/track.h"

namespace {

class RaceFrame : public GfxWindowTest {
protected:
    void StartRace(int width = 640, int height = 480)
    {
        win->setFixedSize(width, height);
        scene = std::make_unique<TRaceScene>(*engine, win.get(), std::string(DUNEBOLT_BIN_DIR) + "/");
        std::string error;
        engine->OnAfterStart = [&](TGfxEngine*) {
            try {
                scene->Setup();
            } catch (const std::exception& e) {
                error = e.what();
            }
        };
        Start();
        ASSERT_EQ(error, "");
    }
    void TearDown() override
    {
        scene.reset();
        GfxWindowTest::TearDown();
    }
    QImage Frame(uint32_t tick = 1000)
    {
        scene->Render(tick);
        return engine->GrabRenderSurface();
    }
    // Where a world point lands on the render surface.
    QPoint Screen(const D3DVECTOR& p)
    {
        D3DMATRIX view, proj;
        engine->Device()->GetTransform(D3DTRANSFORMSTATE_VIEW, view);
        engine->Device()->GetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
        // The perspective projection's w is the depth in the camera's space.
        const D3DVECTOR eye = TransformVector(p, view), clip = TransformVector(eye, proj);
        const QSize s = engine->RenderSize();
        return {int((clip.x / eye.z + 1) / 2 * float(s.width())), int((1 - clip.y / eye.z) / 2 * float(s.height()))};
    }
    void LookAt(const D3DVECTOR& eye, const D3DVECTOR& at)
    {
        D3DMATRIX view;
        ASSERT_TRUE(ViewMatrix(view, eye, at, {0, 1, 0}));
        engine->Device()->SetTransform(D3DTRANSFORMSTATE_VIEW, view);
    }
    std::unique_ptr<TRaceScene> scene;
};

// Pixels of the box r of img whose colour passes the test.
int Count(const QImage& img, QRect r, const std::function<bool(QColor)>& test)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) n += test(QColor(img.pixel(x, y)));
    return n;
}

// Those that are (nearly) white.
int WhitePixels(const QImage& img, QRect r)
{
    return Count(img, r, [](QColor c) { return c.lightness() > 240; });
}

}  // namespace

TEST_F(RaceFrame, TheGridFromBehindTheHostsCar)
{
    StartRace();
    spiel::StartClock = 4.0f;
    const QImage ready = Frame();
    // The sky above the horizon, not the clear colour.
    EXPECT_NE(QColor(ready.pixel(320, 10)), QColor(184, 184, 184));
    // The arrow hangs over the car: gone with its mesh, that place changes.
    const QPoint arrow = Screen(TransformVector({0, 100, -70}, spiel::PlayerTable[0].World));
    const TGeometry mesh = spiel::ArrowMesh;
    spiel::ArrowMesh = {};
    const QImage noArrow = Frame();
    spiel::ArrowMesh = mesh;
    EXPECT_NE(ready.pixel(arrow), noArrow.pixel(arrow));
    // "Spieler:" and the first standings line in white at the layout's places;
    // "Get Ready!" at 4.0, gone just after.
    EXPECT_GT(WhitePixels(ready, {462, 35, 45, 12}), 10);
    EXPECT_GT(WhitePixels(ready, {462, 63, 60, 12}), 10);
    EXPECT_GT(WhitePixels(ready, {200, 200, 75, 45}), 50) << "Get Ready!";
    spiel::StartClock = 4.01f;
    const QImage go = Frame();
    EXPECT_EQ(WhitePixels(go, {200, 200, 75, 45}), 0);
    // The winner line and the seconds left, centred, from the first finish.
    spiel::WinnerId = 3;
    spiel::EndClock = 9.6f;
    const QImage won = Frame();
    EXPECT_GT(WhitePixels(won, {140, 200, 360, 40}), 200) << "Spieler 3 gewinnt das Spiel!";
    EXPECT_GT(WhitePixels(won, {220, 250, 200, 18}), 50) << "Spielende in 0 Sekunden!";
    EXPECT_EQ(WhitePixels(won, {0, 250, 150, 18}), 0);
    spiel::WinnerId = 0;
    spiel::StartClock = 6.5f;
}

TEST_F(RaceFrame, WaterTreesAndGatesSeenUpClose)
{
    StartRace();
    spiel::StartClock = 6.5f;
    // The sea floor lies at water level beyond the coast: the water moves
    // there between two frames, and it covers the ground wholly (the frame
    // without any ground is the same), so nothing flickers.
    LookAt({0, 1600, 10800}, {0, 0, 12300});
    const QPoint sea = Screen({0, 0, 12300});
    const QImage a = Frame(1000), b = Frame(1400);
    EXPECT_NE(a.pixel(sea), b.pixel(sea));
    auto root = std::move(bsp::QuadtreeRoot);
    const QImage noGround = Frame(1400);
    bsp::QuadtreeRoot = std::move(root);
    const QRect seaRows(0, Screen({0, 0, 12100}).y(), 640, 20);
    int same = 0;
    for (int y = seaRows.top(); y <= seaRows.bottom(); ++y)
        for (int x = 0; x < 640; ++x) same += b.pixel(x, y) == noGround.pixel(x, y);
    EXPECT_EQ(same, seaRows.width() * seaRows.height()) << "ground showing through the water";

    // A tree from the side: its picture's transparent corner shows what is
    // behind it, its middle does not.
    track::TTreeRec& tree = track::TreeTable[0];
    LookAt(tree.Pos + D3DVECTOR{0, 400, -1500}, tree.Pos + D3DVECTOR{0, 400, 0});
    const QPoint corner = Screen(tree.Pos + D3DVECTOR{-305, 790, 0}), middle = Screen(tree.Pos + D3DVECTOR{0, 250, 0});
    const QImage withTree = Frame();
    tree.Used = false;
    const QImage withoutTree = Frame();
    tree.Used = true;
    EXPECT_EQ(withTree.pixel(corner), withoutTree.pixel(corner));
    EXPECT_NE(withTree.pixel(middle), withoutTree.pixel(middle));

    // A gate's post is a lattice: across it some pixels are the grid, some
    // the world behind it.
    const track::TGateRec gate = track::GateTable[0];
    const D3DVECTOR front = TransformVector({0, 300, -1400}, gate.World);
    LookAt(front, TransformVector({0, 300, 0}, gate.World));
    const QImage withGate = Frame();
    auto meshes = std::tie(spiel::GateLeftMesh, spiel::GateRightMesh, spiel::GateTopMesh);
    const auto kept = std::make_tuple(spiel::GateLeftMesh, spiel::GateRightMesh, spiel::GateTopMesh);
    meshes = std::make_tuple(TGeometry{}, TGeometry{}, TGeometry{});
    const QImage withoutGate = Frame();
    meshes = kept;
    const QPoint lo = Screen(TransformVector({-600, 100, 0}, gate.World));
    const QPoint hi = Screen(TransformVector({-500, 500, 0}, gate.World));
    int grid = 0, holes = 0;
    for (int y = std::min(lo.y(), hi.y()); y <= std::max(lo.y(), hi.y()); ++y)
        for (int x = std::min(lo.x(), hi.x()); x <= std::max(lo.x(), hi.x()); ++x)
            (withGate.pixel(x, y) == withoutGate.pixel(x, y) ? holes : grid) += 1;
    EXPECT_GT(grid, 20);
    EXPECT_GT(holes, 20);
}

TEST_F(RaceFrame, At800x600TheHudMovesWithTheRightAndBottomEdges)
{
    StartRace(800, 600);
    ASSERT_EQ(engine->RenderSize(), QSize(800, 600));
    spiel::StartClock = 6.5f;
    spiel::PlayerTable[0].Speed = -57.5f;
    const QImage f = Frame();
    EXPECT_GT(WhitePixels(f, {462 + 160, 35, 45, 12}), 10) << "standings 160 to the right";
    EXPECT_EQ(WhitePixels(f, {462, 35, 45, 12}), 0);
    // Speed and time in the layout's blue, 120 further down.
    auto blue = [&](QRect r) {
        return Count(f, r, [](QColor c) { return std::abs(c.blue() - 180) < 20 && std::abs(c.red() - 65) < 20; });
    };
    EXPECT_GT(blue({582 + 160, 454 + 120, 30, 20}), 10) << "speed";
    EXPECT_GT(blue({10, 454 + 120, 60, 20}), 10) << "time";
}

TEST(Hud, TextsOfTheLayout)
{
    spiel::PlayerTable = {};
    spiel::ResetRaceGlobals();
    spiel::HudHooks.PlayerName = [](uint32_t id) { return id == 7 ? "" : "P" + std::to_string(id); };
    int music = -1;
    spiel::HudHooks.SetMusicLevel = [&](int level) { music = level; };
    // Records 0, 3, 5 and 8 race; 3 and 8 tie with 0 and keep record order.
    for (auto [r, id, gates] : {std::tuple{0, 1, 6}, {3, 4, 11}, {5, 7, 6}, {8, 9, 6}})
        spiel::PlayerTable[r].Id = uint32_t(id), spiel::PlayerTable[r].GatesPassed = gates;
    spiel::PlayerTable[0].Speed = -2.5f;
    spiel::RaceTime = 83.4f;
    render::HudOffsetX = 160, render::HudOffsetY = 120;
    auto texts = [] {
        std::vector<std::string> out;
        for (const spiel::THudText& t : spiel::HudTexts())
            out.push_back(std::to_string(t.X) + "," + std::to_string(t.Y) + (t.Centred ? "c " : " ") + t.Text);
        return out;
    };
    using V = std::vector<std::string>;
    // Standings, then speed and race time (a finished car shows its own).
    const V standings{"622,35 Spieler:", "695,35 Tor/Runde:", "622,63 P4",  "740,63 1/2",  "622,76 P1", "740,76 1/1",
                      "622,89 ",         "740,89 1/1",        "622,102 P9", "740,102 1/1", "742,574 2"};
    const std::string ready = "280,260 Get Ready!", won = "400,260c P4 gewinnt das Spiel!", time = "10,574 01:23";
    struct {
        float startClock, endClock;
        uint32_t winner;
        uint8_t finished;
        V tail;
        int music;
    } cases[] = {
        {-2, -1, 0, 0, {time, ready}, -1},
        {1, -1, 0, 0, {time, ready}, 50},
        {4.0f, -1, 0, 0, {time, ready}, -1},
        {4.01f, -1, 0, 0, {time, "360,260 GO!"}, -1},
        {7, 9.6f, 4, 0, {time, won, "400,310c Spielende in 0 Sekunden!"}, 4},
        {7, 9.4f, 4, 1, {"10,574 01:01", won, "400,310c Spielende in 1 Sekunden!"}, 6},
        {7, 10.2f, 4, 0, {time, won}, -1},
    };
    for (const auto& c : cases) {
        spiel::StartClock = c.startClock, spiel::EndClock = c.endClock, spiel::WinnerId = c.winner;
        spiel::PlayerTable[0].Finished = c.finished;
        spiel::MyFinishTime = 61.2f;
        music = -1;
        V want = standings;
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(texts(), want) << c.startClock << " " << c.endClock;
        EXPECT_EQ(music, c.music) << c.startClock << " " << c.endClock;
    }
    spiel::HudHooks = {};
    render::HudOffsetX = render::HudOffsetY = 0;
}

TEST(PointAt, TheArrowsNoseFollowsTheTargetAndKeepsItStraightOverhead)
{
    const D3DMATRIX halfTurn = RotateYMatrix(3.14159265f);
    auto nose = [&](D3DVECTOR p, D3DVECTOR t) {
        const D3DMATRIX m = halfTurn * render::PointAtMatrix(p, t);
        return TransformVector({0, 0, 1}, m) - TransformVector({0, 0, 0}, m);
    };
    auto near = [](D3DVECTOR a, D3DVECTOR b) { return Magnitude(a - b) < 1e-4f; };
    EXPECT_TRUE(near(nose({10, 5, 10}, {10, 5, 20}), {0, 0, 1}));
    EXPECT_TRUE(near(nose({0, 0, 0}, {-3, 0, 0}), {-1, 0, 0}));
    // Up stays up, and the matrix places the model at p.
    const D3DMATRIX m = render::PointAtMatrix({1, 2, 3}, {7, -1, 9});
    EXPECT_TRUE(near(TransformVector({0, 1, 0}, m) - D3DVECTOR{1, 2, 3}, {0, 1, 0}));
    // Straight above or below: the last direction, at the new place.
    EXPECT_TRUE(near(nose({0, 0, 0}, {3, 4, 0}), {0.6f, 0.8f, 0}));
    EXPECT_TRUE(near(nose({5, 0, 5}, {5, 100, 5}), {0.6f, 0.8f, 0}));
    EXPECT_TRUE(near(TransformVector({0, 0, 0}, render::PointAtMatrix({5, 0, 5}, {5, -9, 5})), {5, 0, 5}));
}
