#include "race/hud.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <cmath>

#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxengine.h"
#include "race/racestate.h"
#include "race/render.h"
#include "race/spiel.h"

namespace spiel {

THudHooks HudHooks;

namespace {

// Halves to the even neighbour, as every rounding for display.
int Round(double v) { return int(std::nearbyint(v)); }

std::string NameOf(uint32_t id) { return HudHooks.PlayerName ? HudHooks.PlayerName(id) : ""; }

void SetMusicLevel(int level)
{
    if (HudHooks.SetMusicLevel) HudHooks.SetMusicLevel(level);
}

}  // namespace

std::vector<TStanding> Standings()
{
    std::vector<TStanding> list;
    for (int r = 0; r < MaxPlayers; ++r)
        if (PlayerTable[r].Id != 0) list.push_back({r, PlayerTable[r].GatesPassed});
    // A bubble sort that swaps only on strictly fewer gates: stable.
    for (size_t p = list.size(); p >= 2; --p)
        for (size_t i = 1; i < p; ++i)
            if (list[i - 1].GatesPassed < list[i].GatesPassed) std::swap(list[i - 1], list[i]);
    return list;
}

std::vector<THudText> HudTexts()
{
    const int dx = render::HudOffsetX, dy = render::HudOffsetY;
    constexpr uint32_t White = 0xFFFFFF, Blue = 0x4172B4;
    std::vector<THudText> out;
    auto text = [&](int x, int y, int height, uint32_t colour, std::string s, bool centred = false) {
        out.push_back({x, y, centred, height, colour, std::move(s)});
    };

    text(462 + dx, 35, 11, White, "Spieler:");
    text(535 + dx, 35, 11, White, "Tor/Runde:");
    int k = 1;
    for (const TStanding& s : Standings()) {
        text(462 + dx, 50 + 13 * k, 11, White, NameOf(PlayerTable[s.Record].Id));
        text(580 + dx, 50 + 13 * k, 11, White,
             std::to_string(s.GatesPassed % 5) + "/" + std::to_string(s.GatesPassed / 5));
        ++k;
    }

    text(582 + dx, 454 + dy, 21, Blue, std::to_string(Round(std::fabs(PlayerTable[0].Speed))));
    text(10, 454 + dy, 21, Blue, FormatRaceTime(PlayerTable[0].Finished == 1 ? MyFinishTime : RaceTime));

    if (StartClock < 6.0f) {
        if (StartClock >= 0 && StartClock <= 2.0f) SetMusicLevel(Round(100.0 * StartClock / 2));
        if (StartClock <= 4.0f) text(dx / 2 + 200, dy / 2 + 200, 41, White, "Get Ready!");
        if (StartClock > 4.0f) text(dx / 2 + 280, dy / 2 + 200, 41, White, "GO!");
    }

    if (WinnerId != 0) {
        text(320 + dx / 2, dy / 2 + 200, 35, White, NameOf(WinnerId) + " gewinnt das Spiel!", true);
        const float left = 10.0f - EndClock;
        if (left >= 0) {
            SetMusicLevel(Round(left * 10.0));
            text(320 + dx / 2, dy / 2 + 250, 15, White, "Spielende in " + std::to_string(Round(left)) + " Sekunden!",
                 true);
        }
    }
    return out;
}

void DrawHud()
{
    TGfxEngine* engine = CurrentEngine();
    QPainter* p = engine ? engine->Canvas() : nullptr;
    if (!p) return;
    p->setBrush(Qt::NoBrush);
    QFont font("verdana");
    for (const THudText& t : HudTexts()) {
        font.setPixelSize(t.Height);
        p->setFont(font);
        p->setPen(QColor(QRgb(t.Colour)));
        const QString s = QString::fromStdString(t.Text);
        const QFontMetrics m = p->fontMetrics();
        // Centred: w div 2 to the left of the middle.
        const int x = t.Centred ? t.X - m.horizontalAdvance(s) / 2 : t.X;
        p->drawText(x, t.Y + m.ascent(), s);
    }
    engine->ReleaseCanvas();
}

}  // namespace spiel
