#include "app/bot.h"

#include <QCoreApplication>
#include <QTimer>

#include <sys/prctl.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "cars/autopilot.h"
#include "cars/move.h"
#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"
#include "race/raceframe.h"
#include "race/racestate.h"
#include "race/setupworld.h"
#include "race/spiel.h"

float BotTopSpeed(TBotSkill skill)
{
    // A car on flat ground tops out at 100.
    switch (skill) {
        case TBotSkill::Beginner:
            return 55;
        case TBotSkill::Advanced:
            return 75;
        case TBotSkill::Pro:
            break;
    }
    return 1e9f;
}

namespace {

volatile std::sig_atomic_t StopAsked = 0;

// The client's side of a race, as the main window plays it, without the
// screen: the countdown, the track, "bereit", the frames and the results.
class TBot final : public u_multiplayer::IMessageWindow, public spiel::IRaceEnd {
public:
    explicit TBot(const std::string& name) : name_(name)
    {
        play_.OnDeletePlayer = [this](TDXPlayPlayer& p) { PlayerGone(p); };
        play_.OnMessage = [this](TDXPlayPlayer& from, const uint8_t* data, int size) { Message(from, data, size); };
        // Bots never host: handed the host role, a bot leaves, and the role
        // moves on to the next player.
        play_.OnHost = [] { QCoreApplication::exit(0); };
        play_.OnClose = [] { QCoreApplication::exit(0); };
        play_.OnSessionLost = [] { QCoreApplication::exit(0); };
        u_multiplayer::AttachSession(&play_);
        u_multiplayer::MessageWindow = this;
        spiel::RaceFrameHooks = {};
        spiel::RaceFrameHooks.HostId = [this] { return hostId_; };
        spiel::RaceFrameHooks.RacerCount = [this] { return racers_; };
        spiel::RaceFrameHooks.Laps = [this] { return laps_; };
        spiel::RaceFrameHooks.RaceEnd = this;
        move::DriveHooks.ReadControls = [] { return autopilot::DriveLocalCar(spiel::FrameTime); };
        move::DriveHooks.IsHost = [] { return false; };

        countdown_.setInterval(1000);
        QObject::connect(&countdown_, &QTimer::timeout, [this] { Tick(); });
        // About 60 frames a second: smooth enough for the driving, cheap
        // beside the host's drawing.
        frames_.setInterval(16);
        frames_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&frames_, &QTimer::timeout, [] { spiel::RaceFrame(); });
    }

    ~TBot() override
    {
        u_multiplayer::MessageWindow = nullptr;
        u_multiplayer::DetachSession();
    }

    // Joins the game on this machine's port; raises the session's error.
    void Join(uint16_t port)
    {
        play_.TCPIPSetting = {true, "127.0.0.1", port};
        play_.SetProviderName(DPSPNAME_TCPIP);
        // One search is a lost datagram away from finding nothing: a few more.
        for (int tries = 0; tries < 5 && (tries == 0 || play_.Sessions().empty()); ++tries) play_.GetSessions();
        if (play_.Sessions().empty()) throw EDXPlayError("no game at port " + std::to_string(port));
        play_.JoinSession(play_.Sessions().front(), name_);
        frames_.start();
    }

    void Leave() { play_.Close(); }

private:
    void Message(TDXPlayPlayer& from, const uint8_t* data, int size)
    {
        if (spiel::GamePhase == spiel::PhaseLockedOut) {
            if (u_multiplayer::LetsBackIn(data, size) && u_multiplayer::FromSessionHost(from))
                spiel::GamePhase = spiel::PhaseMenu;
            return;
        }
        u_multiplayer::HandleMessage(from, data, size);
    }

    void PlayerGone(const TDXPlayPlayer& p)
    {
        if (spiel::GamePhase == spiel::PhaseRacing) {
            racers_ -= 1;
            spiel::PlayerLeft(p.ID);
        }
    }

    void Tick()
    {
        if (--countdownLeft_ > 0) return;
        countdown_.stop();
        try {
            spiel::SetupTrack(QCoreApplication::applicationDirPath().toStdString() + "/");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", name_.c_str(), e.what());
            QCoreApplication::exit(1);
            return;
        }
        spiel::ResetRaceGlobals();
        move::ResetDriving();
        u_multiplayer::SendText(u_multiplayer::CmdBereit, u_multiplayer::KindCommand, hostId_, false);
    }

    // What the main window shows on screen, a bot keeps to itself.
    void ChatLine(const std::string&) override {}
    void HostAnnounced(uint32_t hostId) override { hostId_ = hostId; }
    void LobbyStatus(const std::string& laps) override { laps_ = std::stoi(laps); }
    void RaceAnnounced() override
    {
        countdownLeft_ = 8;
        countdown_.start();
    }
    void LockedOut() override {}
    void PlayerReady(const TDXPlayPlayer&) override {}
    void RaceBegins() override { racers_ = int32_t(play_.Players().size()); }
    void RaceAborted() override { countdown_.stop(); }
    void StartMusic() override {}
    void RaceEnded(uint32_t, const std::vector<spiel::TFinisher>& finishers) override
    {
        for (size_t k = 0; k < finishers.size(); ++k)
            std::printf("%s: %zu. %s %s\n", name_.c_str(), k + 1,
                        u_multiplayer::SessionPlayerName(finishers[k].Id).c_str(),
                        spiel::FormatRaceTime(finishers[k].Time).c_str());
        std::fflush(stdout);
    }

    std::string name_;
    TDXPlay play_;
    QTimer countdown_, frames_;
    uint32_t hostId_ = 0;
    int32_t racers_ = 0;
    int laps_ = 3;
    int countdownLeft_ = 0;
};

}  // namespace

int RunBot(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s %s NAME PORT SKILL\n", argv[0], BotOption);
        return 2;
    }
    // A bot ends with the program that started it, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0;
    std::signal(SIGTERM, [](int) { StopAsked = 1; });

    QCoreApplication app(argc, argv);
    const int skill = std::clamp(std::atoi(argv[4]), 0, 2);
    autopilot::LocalDriver().TopSpeed = BotTopSpeed(TBotSkill(skill));
    TBot bot(argv[2]);
    try {
        bot.Join(uint16_t(std::atoi(argv[3])));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[2], e.what());
        return 1;
    }
    QTimer stop;
    QObject::connect(&stop, &QTimer::timeout, [] {
        if (StopAsked) QCoreApplication::exit(0);
    });
    stop.start(50);
    const int status = app.exec();
    bot.Leave();
    std::printf("%s: ended with status %d\n", argv[2], status);
    return status;
}
