#include "platform/xaudio/xaudioplayer.h"

#include "platform/xaudio/xaudio_api.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace {

// The library's notification, carried to the main thread as a posted event,
// as a window message would be.
class XaudioEvent : public QEvent {
public:
    static QEvent::Type Kind()
    {
        static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
        return kind;
    }
    XaudioEvent(unsigned message, uint64_t wparam, int64_t lparam)
        : QEvent(Kind()), message(message), wparam(wparam), lparam(lparam)
    {
    }
    unsigned message;
    uint64_t wparam;
    int64_t lparam;
};

constexpr int kDefaultPriority = 3;

}  // namespace

struct TXaudioPlayer::Impl {
    // Receives the library's notifications on the thread of the application
    // object. Deleting it drops notifications not yet delivered.
    class HiddenWindow : public QObject {
    public:
        explicit HiddenWindow(Impl* impl) : impl(impl) {}
        bool event(QEvent* e) override
        {
            if (e->type() != XaudioEvent::Kind()) return QObject::event(e);
            auto* xe = static_cast<XaudioEvent*>(e);
            impl->Deliver(xe->message, xe->wparam, xe->lparam);
            return true;
        }
        Impl* impl;
    };

    explicit Impl(TXaudioPlayer* owner) : owner(owner) {}

    TXaudioPlayer* owner;
    std::unique_ptr<HiddenWindow> window;
    void* library = nullptr;
    XA_Player* player = nullptr;

    // The library's entry points; all null while it is not loaded.
    struct EntryPoints {
        XA_player_new player_new = nullptr;
        XA_player_delete player_delete = nullptr;
        XA_player_set_priority player_set_priority = nullptr;
        XA_player_get_priority player_get_priority = nullptr;
        XA_xaudio_error_string xaudio_error_string = nullptr;
        XA_xaudio_get_version xaudio_get_version = nullptr;
        XA_control_message_send_N send_N = nullptr;
        XA_control_message_send_P send_P = nullptr;
        XA_control_message_send_S send_S = nullptr;
        XA_control_message_send_SS send_SS = nullptr;
        XA_control_message_send_SI send_SI = nullptr;
        XA_control_message_send_IPI send_IPI = nullptr;
        XA_control_message_send_I send_I = nullptr;
        XA_control_message_send_II send_II = nullptr;
        XA_control_message_send_III send_III = nullptr;
        XA_control_message_send_IIII send_IIII = nullptr;
        XA_control_win32_params_to_message params_to_message = nullptr;
    } api;

    // Runs on the library's player thread: only hands the triple over.
    static void Post(void* context, unsigned message, uint64_t wparam, int64_t lparam)
    {
        auto* w = static_cast<HiddenWindow*>(context);
        QCoreApplication::postEvent(w, new XaudioEvent(message, wparam, lparam));
    }

    void Deliver(unsigned message, uint64_t wparam, int64_t lparam)
    {
        if (!player) return;
        XA_Message m{};
        if (api.params_to_message(player, &m, message, wparam, lparam) != XA_SUCCESS) return;
        TXaudioPlayer& self = *owner;
        switch (m.code) {
            case XA_MSG_NOTIFY_PLAYER_STATE:
                if (self.OnNotifyPlayerState) self.OnNotifyPlayerState(self, m.data.player_state.state);
                break;
            case XA_MSG_NOTIFY_INPUT_POSITION:
                if (self.OnNotifyInputPosition)
                    self.OnNotifyInputPosition(self, m.data.input_position.frame, m.data.input_position.length);
                break;
            case XA_MSG_NOTIFY_ERROR:
                if (self.OnNotifyError)
                    self.OnNotifyError(self, m.data.error.command, m.data.error.result,
                                       api.xaudio_error_string(m.data.error.result));
                break;
            default:
                break;
        }
    }

    template <typename Fn>
    void Resolve(Fn& slot, const char* name)
    {
        void* sym = dlsym(library, name);
        if (!sym) {
            dlclose(library);
            library = nullptr;
            api = EntryPoints{};
            throw EXaudioError(std::string("Cannot Find Symbol ") + name + " in Xaudio DLL");
        }
        slot = reinterpret_cast<Fn>(sym);
    }

    void LoadLibrary()
    {
        std::string path = owner->XaudioPath;
        if (path.find('/') == std::string::npos) {
            std::string dir = owner->Directory.empty() ? TXaudioPlayer::ProgramDirectory() : owner->Directory;
            path = dir + "/" + path;
        }
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) throw EXaudioError("Cannot Load Xaudio DLL (" + owner->XaudioPath + ")");
        Resolve(api.player_new, "player_new");
        Resolve(api.player_delete, "player_delete");
        Resolve(api.player_set_priority, "player_set_priority");
        Resolve(api.player_get_priority, "player_get_priority");
        Resolve(api.xaudio_error_string, "xaudio_error_string");
        Resolve(api.xaudio_get_version, "xaudio_get_version");
        Resolve(api.send_N, "control_message_send_N");
        Resolve(api.send_P, "control_message_send_P");
        Resolve(api.send_S, "control_message_send_S");
        Resolve(api.send_SS, "control_message_send_SS");
        Resolve(api.send_SI, "control_message_send_SI");
        Resolve(api.send_IPI, "control_message_send_IPI");
        Resolve(api.send_I, "control_message_send_I");
        Resolve(api.send_II, "control_message_send_II");
        Resolve(api.send_III, "control_message_send_III");
        Resolve(api.send_IIII, "control_message_send_IIII");
        Resolve(api.params_to_message, "control_win32_params_to_message");
    }

    void EnsurePlayer()
    {
        if (player) return;
        if (!library) LoadLibrary();
        unsigned long version = api.xaudio_get_version(XA_API_ID_VERSION);
        unsigned major = (version >> 16) & 0xFF;
        unsigned minor = (version >> 8) & 0xFF;
        if (major != XA_API_MAJOR || minor != XA_API_MINOR)
            throw EXaudioError("Xaudio DLL API Mismatch\rExpected " + std::to_string(XA_API_MAJOR) + "." +
                               std::to_string(XA_API_MINOR) + ", Got " + std::to_string(major) + "." +
                               std::to_string(minor));
        XA_NotificationTarget target{&Impl::Post, window.get()};
        XA_Player* p = nullptr;
        if (api.player_new(&p, &target) != XA_SUCCESS || !p) throw EXaudioError("Cannot Start Xaudio Player");
        player = p;
        if (owner->Priority != kDefaultPriority) api.player_set_priority(player, owner->Priority);
    }
};

TXaudioPlayer::TXaudioPlayer() : d(std::make_unique<Impl>(this))
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) throw EXaudioError("Cannot Create Hidden Window");
    d->window = std::make_unique<Impl::HiddenWindow>(d.get());
    if (d->window->thread() != app->thread()) d->window->moveToThread(app->thread());
}

TXaudioPlayer::~TXaudioPlayer()
{
    // The player's thread ends inside player_delete, so nothing is posted to
    // the window after it; what is still queued goes with the window.
    if (d->player) d->api.player_delete(d->player);
    d->player = nullptr;
    d->window.reset();
    if (d->library) dlclose(d->library);
}

std::string TXaudioPlayer::ProgramDirectory()
{
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void TXaudioPlayer::OutputModuleRegister(const std::string& moduleName)
{
    d->EnsurePlayer();
    d->api.send_S(d->player, XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER, moduleName.c_str());
}

void TXaudioPlayer::SetOutputName(const std::string& name)
{
    d->EnsurePlayer();
    d->api.send_S(d->player, XA_MSG_SET_OUTPUT_NAME, name.c_str());
}

void TXaudioPlayer::InputOpen(const std::string& path)
{
    d->EnsurePlayer();
    d->api.send_S(d->player, XA_MSG_COMMAND_INPUT_OPEN, path.c_str());
}

void TXaudioPlayer::InputSeek(long offset, long range)
{
    d->EnsurePlayer();
    d->api.send_II(d->player, XA_MSG_COMMAND_INPUT_SEEK, offset, range);
}

void TXaudioPlayer::SetOutputVolume(int balance, int pcmLevel, int masterLevel)
{
    d->EnsurePlayer();
    d->api.send_III(d->player, XA_MSG_SET_OUTPUT_VOLUME, balance, pcmLevel, masterLevel);
}

void TXaudioPlayer::SetPlayerEnvironmentInteger(const std::string& name, long value)
{
    d->EnsurePlayer();
    d->api.send_SI(d->player, XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER, name.c_str(), value);
}

void TXaudioPlayer::Play()
{
    d->EnsurePlayer();
    d->api.send_N(d->player, XA_MSG_COMMAND_PLAY);
}

void TXaudioPlayer::Stop()
{
    d->EnsurePlayer();
    d->api.send_N(d->player, XA_MSG_COMMAND_STOP);
}

int TXaudioPlayer::PlayerPriority()
{
    d->EnsurePlayer();
    return d->api.player_get_priority(d->player);
}
