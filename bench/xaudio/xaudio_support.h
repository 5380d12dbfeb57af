// What the music benchmark uses: a recorder of the component's
// notifications, a wait that runs the main thread's event loop, and a
// private directory for its files.
#pragma once

#include "platform/xaudio/xaudioplayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct Recorded {
    std::vector<int> states;
    std::vector<std::pair<int64_t, int64_t>> positions;  // frame, length
    std::vector<std::pair<int, int>> errors;             // command, result
    std::vector<std::string> errorTexts;
    bool offMainThread = false;

    void Attach(TXaudioPlayer& p)
    {
        auto onMain = [this] {
            if (std::this_thread::get_id() != mainThread)
                offMainThread = true;
        };
        p.OnNotifyPlayerState = [this, onMain](TXaudioPlayer&, int state) {
            onMain();
            states.push_back(state);
        };
        p.OnNotifyInputPosition = [this, onMain](TXaudioPlayer&, int64_t frame, int64_t length) {
            onMain();
            positions.emplace_back(frame, length);
        };
        p.OnNotifyError = [this, onMain](TXaudioPlayer&, int command, int result, const std::string& text) {
            onMain();
            errors.emplace_back(command, result);
            errorTexts.push_back(text);
        };
    }
    bool HasState(int s) const
    {
        for (int x : states)
            if (x == s)
                return true;
        return false;
    }

    std::thread::id mainThread = std::this_thread::get_id();
};

// Runs the event loop until done() holds or the time is up.
template <typename Done>
bool RunEventsUntil(Done done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline void RunEventsFor(int ms)
{
    RunEventsUntil([] { return false; }, ms);
}

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/xaudioXXXXXX");
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path_ = buf.data();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
