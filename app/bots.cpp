// The host's bots: each a child process of this program that joins the
// game as a player of its own, driven by the autopilot (see app/bot.h).
#include <QComboBox>
#include <QProcess>

#include <algorithm>

#include "app/bot.h"
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "platform/dxplay/dxplay.h"
#include "race/racestate.h"

namespace {

// Long enough for a bot to say goodbye to every player on this machine.
constexpr int BotStopMs = 3000;

bool InSession(const TDXPlay& play, const QString& name)
{
    for (const TDXPlayPlayer* p : play.Players())
        if (QString::fromStdString(p->Name) == name) return true;
    return false;
}

QString NameOf(const QProcess* bot) { return bot->property("name").toString(); }

}  // namespace

QString TFStart::FreeBotName() const
{
    // "Bot 1", "Bot 2" …: the first that neither a player nor a bot on its
    // way into the game has taken.
    for (int n = 1;; ++n) {
        const QString name = "Bot " + QString::number(n);
        const bool starting = std::ranges::any_of(Bots, [&](const QProcess* b) { return NameOf(b) == name; });
        if (!InSession(*DXPlay, name) && !starting) return name;
    }
}

void TFStart::lbothinzuClick()
{
    if (!DXPlay->Opened() || !DXPlay->IsHost() || spiel::GamePhase != spiel::PhaseMenu) return;
    // Bots still joining count too: the game holds ten players.
    const auto joining = std::ranges::count_if(Bots, [&](const QProcess* b) { return !InSession(*DXPlay, NameOf(b)); });
    if (DXPlay->Players().size() + size_t(joining) >= size_t(DXPlay->MaxPlayers)) return;

    auto* bot = new QProcess(this);
    const QString name = FreeBotName();
    bot->setProperty("name", name);
    // The game's own program, from its directory: a bot of the same version.
    bot->setProgram(BaseDir + "dunebolt");
    bot->setArguments({BotOption, name, QString::number(DXPlay->Port()), QString::number(botskill->currentIndex())});
    bot->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(bot, &QProcess::finished, this, [this, bot] {
        std::erase(Bots, bot);
        bot->deleteLater();
        UpdateBotControls();
    });
    Bots.push_back(bot);
    bot->start();
    UpdateBotControls();
}

void TFStart::lbotentfernenClick()
{
    if (Bots.empty() || spiel::GamePhase != spiel::PhaseMenu) return;
    // The newest goes; it leaves the session on its way out.
    Bots.back()->terminate();
}

void TFStart::StopBots()
{
    for (QProcess* bot : Bots) bot->terminate();
    for (QProcess* bot : std::vector(Bots)) {
        if (!bot->waitForFinished(BotStopMs)) bot->kill();
        bot->waitForFinished(BotStopMs);
    }
}

void TFStart::UpdateBotControls()
{
    const bool host = DXPlay && DXPlay->Opened() && DXPlay->IsHost();
    botpanel->setVisible(host && spiel::GamePhase == spiel::PhaseMenu);
    lbotentfernen->setEnabled(!Bots.empty());
}
