// The plugin's loop on the thread mpv gives it. Parley's callback runs on
// the session's own thread and only queues: the events are handled here,
// after mpv_wakeup, so that mpv's state is touched from one thread and
// nothing that mpv waits for waits on the network.
#ifndef PARLEY_MPV_MPVCHAT_H
#define PARLEY_MPV_MPVCHAT_H

#include <mpv/client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ChatOverlay.h"
#include "Inbox.h"
#include "PluginOptions.h"
#include "RoomView.h"
#include "WatchSync.h"

namespace mpvchat {

class MpvChat {
public:
    explicit MpvChat(mpv_handle* mpv);
    ~MpvChat();
    int run();

    // The callback's context: which inbox, which login.
    struct Link {
        Inbox* inbox;
        std::uint64_t session;
    };

    // Script-message commands.
    void say(const std::string& args);
    void nick(const std::string& args);
    void subject(const std::string& args);
    void who(const std::string& args);
    void kick(const std::string& args);
    void voice(const std::string& args);
    void mute(const std::string& args);

private:
    double now() const;
    void print(const std::string& line);
    void show(ChatOverlay::Kind kind, const std::string& line);
    void status(const std::string& text, bool sticky);
    void render();
    bool osdOverlay(int id, const std::string& data, int z, double* bounds);

    std::string expandPath(const std::string& path);
    void readSettings();
    void bindKey();
    void login(const std::string& room);
    void logout();
    void fileLoaded();
    void onMpvEvent(const mpv_event& event);
    void onCommand(const mpv_event_client_message& message);
    void onSessionEvent(const Inbox::Event& event);
    void moderate(const std::string& who, int32_t (*call)(void*, const ParleyChar*), const char* verb);

    bool syncing() const;
    WatchSync::Player player() const;
    void sendControl(const std::string& body);
    void applyFromRoom(const std::string& body);
    void applyReply(const WatchSync::Reply& reply);
    void maybeAsk();

    mpv_handle* mpv_;
    const std::string identifier_;  // ours in every room, so known before the inbox
    Inbox inbox_;
    bool logging_ = false;         // the library's log comes to our inbox
    std::size_t droppedRun_ = 0;   // events dropped in the flood under way
    PluginOptions options_;
    ChatOverlay overlay_;
    std::unique_ptr<RoomView> view_;
    WatchSync sync_;
    void* session_ = nullptr;
    std::unique_ptr<Link> link_;
    std::uint64_t sessions_ = 0;
    std::string room_;
    std::vector<std::string> shownLines_;  // printed after the next drawing
    bool dirty_ = false, shown_ = false;
    bool fileLoaded_ = false, pauseKnown_ = false, paused_ = false, seeking_ = false, asked_ = false;
    double duration_ = 0;
};

}  // namespace mpvchat

#endif
