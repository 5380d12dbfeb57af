// A player program for the referee's network test: joins the game named on
// the command line and prints, one line each, what the host's referee tells
// it: "opened ID", then "text KIND TEXT" and "setpos X Y Z STOP" in the order
// the messages arrive. Ends when its stdin closes.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <unistd.h>

#include "net/u_multiplayer.h"
#include "platform/dxplay/dxplay.h"

namespace {

void Line(const std::string& s)
{
    std::fputs(s.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Num(float v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(v));
    return buf;
}

}  // namespace

int main(int argc, char** argv)
{
    // Searches ask this machine only, and never broadcast.
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("CI", "1", 1);
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        Line("error usage: referee_player SESSION PLAYER");
        return 2;
    }
    TDXPlay play;
    play.OnMessage = [](TDXPlayPlayer&, const uint8_t* data, int size) {
        const std::span<const uint8_t> bytes(data, static_cast<size_t>(size));
        uint32_t kind = 0;
        if (!u_multiplayer::MessageKind(bytes, kind)) return;
        u_multiplayer::TTextMsg text;
        u_multiplayer::TSetPositionMsg pos;
        if (u_multiplayer::DecodeText(bytes, text)) {
            Line("text " + std::to_string(text.Kind) + " " + text.Text);
        } else if (u_multiplayer::DecodeSetPosition(bytes, pos)) {
            Line("setpos " + Num(pos.Pos.x) + " " + Num(pos.Pos.y) + " " + Num(pos.Pos.z) + " " +
                 std::to_string(pos.Stop));
        } else {
            Line("other " + std::to_string(kind));
        }
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) {
            input.setEnabled(false);
            play.Close();
            QCoreApplication::exit(0);
        }
    });
    QTimer::singleShot(0, [&] {
        try {
            play.SetProviderName(DPSPNAME_TCPIP);
            play.JoinSession(argv[1], argv[2]);
            Line("opened " + std::to_string(play.LocalPlayer()->ID));
        } catch (const EDXPlayError& e) {
            Line(std::string("error ") + e.what());
            QCoreApplication::exit(1);
        }
    });
    return app.exec();
}
