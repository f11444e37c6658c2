#include "MpvChat.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "Utf16.h"

namespace mpvchat {

namespace {

int32_t PARLEY_CALL onParleyEvent(void* context, int32_t code, int32_t, int32_t arg4, const TextBuffer* text) {
    const auto* link = static_cast<const MpvChat::Link*>(context);
    Inbox::Event event{link->session, code, arg4, text != nullptr, {}};
    if (text && text->text && text->length > 0) event.text.assign(text->text, static_cast<std::size_t>(text->length));
    link->inbox->push(std::move(event));
    return 0;
}

void PARLEY_CALL onParleyLog(void* context, int32_t, int32_t, const TextBuffer* line) {
    if (!line || !line->text || line->length <= 0) return;
    static_cast<Inbox*>(context)->push({0, 0, 0, true, HostString(line->text, static_cast<std::size_t>(line->length))});
}

// A random occupant identifier: 36 characters, laid out like a UUID.
std::string newIdentifier() {
    std::random_device random;
    const char* hex = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 36; ++i) id += (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : hex[random() & 15];
    return id;
}

std::string joinArgs(const mpv_event_client_message& m) {
    std::string out;
    for (int i = 1; i < m.num_args; ++i) {
        if (i > 1) out += ' ';
        out += m.args[i];
    }
    return out;
}

struct CommandRule {
    const char* name;
    void (MpvChat::*run)(const std::string&);
};

const CommandRule kCommands[] = {
    {"parley-say", &MpvChat::say},     {"parley-nick", &MpvChat::nick}, {"parley-subject", &MpvChat::subject},
    {"parley-who", &MpvChat::who},     {"parley-kick", &MpvChat::kick}, {"parley-voice", &MpvChat::voice},
    {"parley-mute", &MpvChat::mute},
};

// Observed properties, by reply id.
enum : std::uint64_t { kPause = 1, kDuration = 2 };

}  // namespace

MpvChat::MpvChat(mpv_handle* mpv)
    : mpv_(mpv), identifier_(newIdentifier()), inbox_([mpv] { mpv_wakeup(mpv); }, identifier_) {}

// Also when run() ends by an exception: no callback may be left holding
// the inbox or the mpv handle, which go when this returns.
MpvChat::~MpvChat() {
    logout();
    // Returns once a log line under way on a library thread has been queued.
    if (logging_) SetLogCallback(nullptr, nullptr, 0);
}

double MpvChat::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void MpvChat::print(const std::string& line) {
    const std::string text = "[parley] " + line;
    const char* cmd[] = {"print-text", text.c_str(), nullptr};
    mpv_command(mpv_, cmd);
}

void MpvChat::show(ChatOverlay::Kind kind, const std::string& line) {
    overlay_.add(kind, line, now());
    dirty_ = true;
    shownLines_.push_back(line);
}

void MpvChat::status(const std::string& text, bool sticky) {
    overlay_.setStatus(text, sticky, now());
    dirty_ = true;
    shownLines_.push_back(text);
}

bool MpvChat::osdOverlay(int id, const std::string& data, int z, double* bounds) {
    mpv_node values[8];
    char* keys[8];
    int n = 0;
    auto put = [&](const char* key, mpv_node value) {
        keys[n] = const_cast<char*>(key);
        values[n++] = value;
    };
    mpv_node v;
    v.format = MPV_FORMAT_STRING, v.u.string = const_cast<char*>("osd-overlay"), put("name", v);
    v.format = MPV_FORMAT_INT64, v.u.int64 = id, put("id", v);
    v.format = MPV_FORMAT_STRING, v.u.string = const_cast<char*>(data.empty() ? "none" : "ass-events"), put("format", v);
    v.format = MPV_FORMAT_STRING, v.u.string = const_cast<char*>(data.c_str()), put("data", v);
    v.format = MPV_FORMAT_INT64, v.u.int64 = 720, put("res_y", v);
    v.format = MPV_FORMAT_INT64, v.u.int64 = z, put("z", v);
    if (bounds) v.format = MPV_FORMAT_FLAG, v.u.flag = 1, put("compute_bounds", v);
    mpv_node_list list{n, values, keys};
    mpv_node command;
    command.format = MPV_FORMAT_NODE_MAP;
    command.u.list = &list;
    mpv_node result;
    if (mpv_command_node(mpv_, &command, &result) < 0) return false;
    bool found = false;
    if (bounds && result.format == MPV_FORMAT_NODE_MAP) {
        const char* names[4] = {"x0", "y0", "x1", "y1"};
        int seen = 0;
        for (int i = 0; i < result.u.list->num; ++i)
            for (int k = 0; k < 4; ++k) {
                if (std::strcmp(result.u.list->keys[i], names[k]) != 0) continue;
                const mpv_node& b = result.u.list->values[i];
                bounds[k] = b.format == MPV_FORMAT_DOUBLE ? b.u.double_ : static_cast<double>(b.u.int64);
                ++seen;
            }
        found = seen == 4;
    }
    mpv_free_node_contents(&result);
    return found;
}

void MpvChat::render() {
    const double t = now();
    const std::string text = overlay_.render(t);
    dirty_ = false;
    if (text.empty()) {
        if (shown_) osdOverlay(2, "", 1, nullptr), osdOverlay(1, "", 0, nullptr);
        shown_ = false;
        return;
    }
    double b[4];
    shown_ = true;
    if (osdOverlay(2, text, 1, b))
        osdOverlay(1, boxEvent(b[0] - 14, b[1] - 8, b[2] + 14, b[3] + 8, overlay_.boxAlpha(t)), 0, nullptr);
    else
        osdOverlay(1, "", 0, nullptr);  // no bounds: no box where the text no longer is
}

// "~/" (the home folder) and "~~/" (mpv's configuration folder) the way mpv
// expands its own paths: a shell leaves "~" alone after "=".
std::string MpvChat::expandPath(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const char* expand[] = {"expand-path", path.c_str(), nullptr};
    mpv_node out;
    if (mpv_command_ret(mpv_, expand, &out) < 0) return path;
    const std::string expanded = out.format == MPV_FORMAT_STRING ? out.u.string : path;
    mpv_free_node_contents(&out);
    return expanded;
}

void MpvChat::readSettings() {
    // script-opts/parley.conf in mpv's configuration folder, then --script-opts.
    std::string conf;
    const char* expand[] = {"expand-path", "~~/script-opts/parley.conf", nullptr};
    mpv_node path;
    if (mpv_command_ret(mpv_, expand, &path) >= 0) {
        if (path.format == MPV_FORMAT_STRING && path.u.string[0] == '/') {
            std::ifstream in(path.u.string);
            std::stringstream text;
            text << in.rdbuf();
            conf = text.str();
        }
        mpv_free_node_contents(&path);
    }
    KeyValues opts;
    mpv_node map;
    if (mpv_get_property(mpv_, "options/script-opts", MPV_FORMAT_NODE, &map) >= 0) {
        if (map.format == MPV_FORMAT_NODE_MAP)
            for (int i = 0; i < map.u.list->num; ++i)
                if (map.u.list->values[i].format == MPV_FORMAT_STRING)
                    opts.emplace_back(map.u.list->keys[i], map.u.list->values[i].u.string);
        mpv_free_node_contents(&map);
    }
    options_ = readOptions(conf, opts);
    for (std::string* path : filePaths(options_)) *path = expandPath(*path);
    overlay_ = ChatOverlay(options_.style);
    for (const std::string& problem : options_.problems) print(problem);
}

void MpvChat::bindKey() {
    if (options_.key.empty()) return;
    // "default": a binding of the viewer's own for the key wins.
    const std::string binding = options_.key + " script-message-to console type \"script-message parley-say \"\n";
    const char* define[] = {"define-section", "parley", binding.c_str(), "default", nullptr};
    const char* enable[] = {"enable-section", "parley", nullptr};
    mpv_command(mpv_, define);
    mpv_command(mpv_, enable);
}

void MpvChat::login(const std::string& room) {
    logout();
    room_ = room;
    std::string problem;
    std::string password = readPasswordFile(options_.passwordFile, problem);
    if (password.empty()) {
        status("cannot log in: " + problem, true);
        return;
    }
    if (!problem.empty()) print(problem);
    SetEncryptionPolicy(options_.plaintext ? PARLEY_ENCRYPTION_ALLOW_PLAINTEXT : PARLEY_ENCRYPTION_PROTECT_PASSWORD);
    SetTrustedCAFile(options_.caFile.empty() ? nullptr : toHost(options_.caFile).c_str());
    const std::string display = options_.nick.empty() ? options_.user : options_.nick;
    link_ = std::make_unique<Link>(Link{&inbox_, ++sessions_});
    view_ = std::make_unique<RoomView>(identifier_, room, options_.style.maxChars, [this](const std::string& id) {
        RoomView::Rights r;
        if (!session_) return r;
        const HostString who = toHost(id);
        r.owner = IsOwner(session_, who.c_str()) != 0;
        r.moderator = IsModerator(session_, who.c_str()) != 0;
        r.muted = IsWriteBlock(session_, who.c_str()) != 0;
        return r;
    });
    sync_ = WatchSync();
    asked_ = false;
    status("connecting to " + options_.server + " as " + options_.user + "...", true);
    HostString secret = toHost(password);
    session_ = SetLogin(toHost(options_.user).c_str(), secret.c_str(), toHost(room).c_str(),
                        toHost(display + identifier_ + ":us").c_str(), toHost(options_.server).c_str(),
                        toHost("mpv").c_str(), link_.get(), onParleyEvent);
    // The library keeps its own copy; ours goes now.
    std::fill(password.begin(), password.end(), '\0');
    std::fill(secret.begin(), secret.end(), u'\0');
    if (!session_) status("cannot log in: the session could not be made", true);
}

void MpvChat::logout() {
    if (!session_) return;
    // Returns at once. Its 21041 comes on this thread before it returns, into
    // the inbox under the old login's number, which is then ignored; no
    // callback follows it.
    GetLogOut(session_);
    session_ = nullptr;
}

int MpvChat::run() {
    readSettings();
    bindKey();
    mpv_observe_property(mpv_, kPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kDuration, "duration", MPV_FORMAT_DOUBLE);
    SetLogCallback(onParleyLog, &inbox_, 1);
    logging_ = true;
    if (options_.server.empty() || options_.user.empty())
        status("not logging in: set parley-server and parley-user (see the README)", true);
    else if (!options_.room.empty())
        login(options_.room);
    for (;;) {
        const double wait = overlay_.nextChange(now());
        const mpv_event* event = mpv_wait_event(mpv_, wait < 0 ? -1 : wait);
        if (event->event_id == MPV_EVENT_SHUTDOWN) break;
        onMpvEvent(*event);
        std::size_t dropped = 0;
        for (const Inbox::Event& e : inbox_.take(dropped)) onSessionEvent(e);
        // Said once for a flood, and its size when it is over.
        if (dropped && !droppedRun_)
            show(ChatOverlay::Kind::Notice, "too much at once from the room: some of it is not shown");
        if (!dropped && droppedRun_)
            print(std::to_string(droppedRun_) + " events were dropped: they came faster than they could be shown");
        droppedRun_ = dropped ? droppedRun_ + dropped : 0;
        if (overlay_.expire(now())) dirty_ = true;
        if (dirty_ || event->event_id == MPV_EVENT_NONE) render();
        // Into the log once they are on the screen.
        for (const std::string& line : shownLines_) print(line);
        shownLines_.clear();
    }
    // Quitting logs out at once (and the destructor lets go of the log).
    logout();
    return 0;
}

void MpvChat::onMpvEvent(const mpv_event& event) {
    switch (event.event_id) {
        case MPV_EVENT_CLIENT_MESSAGE: onCommand(*static_cast<mpv_event_client_message*>(event.data)); break;
        case MPV_EVENT_FILE_LOADED: fileLoaded(); break;
        case MPV_EVENT_END_FILE:
            fileLoaded_ = false;
            sync_.forgetWaiting();
            break;
        case MPV_EVENT_SEEK: seeking_ = true; break;
        case MPV_EVENT_PLAYBACK_RESTART:
            if (seeking_ && syncing()) {
                const std::string body = sync_.localSeek(paused_, player().position, now());
                if (!body.empty()) sendControl(body);
            }
            seeking_ = false;
            break;
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* p = static_cast<mpv_event_property*>(event.data);
            if (event.reply_userdata == kDuration) {
                duration_ = p->format == MPV_FORMAT_DOUBLE ? *static_cast<double*>(p->data) : 0;
                // A position from the room may have come before the length.
                if (duration_ > 0 && options_.sync && fileLoaded_) applyReply(sync_.lengthKnown(player(), now()));
            }
            if (event.reply_userdata != kPause || p->format != MPV_FORMAT_FLAG) break;
            const bool paused = *static_cast<int*>(p->data) != 0;
            const bool changed = pauseKnown_ && paused != paused_;
            pauseKnown_ = true;
            paused_ = paused;
            if (changed && syncing()) {
                const std::string body = sync_.localPause(paused, player().position, now());
                if (!body.empty()) sendControl(body);
            }
            break;
        }
        default: break;
    }
}

void MpvChat::fileLoaded() {
    fileLoaded_ = true;
    seeking_ = false;
    if (options_.room.empty() && !options_.server.empty() && !options_.user.empty()) {
        char* title = mpv_get_property_string(mpv_, "media-title");
        const std::string room = roomFromTitle(title ? title : "");
        mpv_free(title);
        if (room.empty())
            status("no room for this title: set parley-room", true);
        else if (room != room_ || !session_)
            login(room);
    }
    asked_ = false;
    maybeAsk();
}

void MpvChat::onCommand(const mpv_event_client_message& message) {
    if (message.num_args < 1) return;
    for (const CommandRule& c : kCommands)
        if (std::strcmp(message.args[0], c.name) == 0) return (this->*c.run)(joinArgs(message));
}

void MpvChat::onSessionEvent(const Inbox::Event& e) {
    if (e.session == 0) return print("library: " + cleanLine(toUtf8(e.text), 400));
    if (!link_ || e.session != link_->session || !view_) return;  // a session logged out since
    const RoomView::Outcome out = view_->onEvent(e.code, e.hasText ? &e.text : nullptr, e.arg4);
    if (!out.status.empty()) {
        status(out.status, out.sticky);
    }
    // A line that repeats the state is said once, on the status line.
    if (!out.line.empty() && out.line != out.status)
        show(out.chat      ? ChatOverlay::Kind::Chat
             : out.warning ? ChatOverlay::Kind::Warning
                           : ChatOverlay::Kind::Notice,
             out.line);
    if (!out.log.empty()) print(out.log);
    if (!out.control.empty()) applyFromRoom(out.control);
    if (out.live) maybeAsk();
    if (out.ended && session_) {
        // The library has stopped; release the session without waiting.
        LibDelete(session_);
        session_ = nullptr;
    }
}

void MpvChat::say(const std::string& text) {
    if (text.empty()) return;
    if (!session_ || !view_ || !view_->inRoom()) return show(ChatOverlay::Kind::Notice, "not in a room: not sent");
    // Queued, never waiting; refused only when the queue is full or the
    // room session is over (what is taken and cannot go comes back later).
    if (!SetChatMessage(session_, toHost(text).c_str()))
        return show(ChatOverlay::Kind::Notice, "not sent: " + cleanLine(text, options_.style.maxChars));
    // The room does not send our own messages back: show it as sent.
    show(ChatOverlay::Kind::Chat, view_->ownName() + ": " + cleanLine(text, options_.style.maxChars));
}

void MpvChat::nick(const std::string& name) {
    if (name.empty() || !session_) return;
    if (!SetNickName(session_, toHost(name + identifier_ + ":us").c_str()))
        return show(ChatOverlay::Kind::Notice, "nickname not changed");
    options_.nick = name;
}

void MpvChat::subject(const std::string& text) {
    if (session_ && !SetSubject(session_, toHost(text).c_str())) show(ChatOverlay::Kind::Notice, "subject not changed");
}

void MpvChat::who(const std::string&) {
    if (!view_ || !view_->inRoom()) return show(ChatOverlay::Kind::Notice, "not in a room");
    for (const std::string& line : view_->who()) show(ChatOverlay::Kind::Notice, line);
}

void MpvChat::moderate(const std::string& who, int32_t (*call)(void*, const ParleyChar*), const char* verb) {
    if (!session_ || !view_ || !view_->inRoom()) return show(ChatOverlay::Kind::Notice, "not in a room");
    if (!view_->mayModerate()) return show(ChatOverlay::Kind::Notice, std::string("only moderators may ") + verb);
    const std::vector<RoomView::Occupant> found = view_->find(who);
    const std::string shown = cleanLine(who, 40);
    if (found.empty()) return show(ChatOverlay::Kind::Notice, "nobody called " + shown + " is here");
    for (const RoomView::Occupant& o : found)
        if (o.identifier != found.front().identifier)
            return show(ChatOverlay::Kind::Notice,
                        "more than one " + shown + " is here: name the identifier (parley-who)");
    if (const int twins = view_->sharedBy(found.front().identifier))
        return show(ChatOverlay::Kind::Warning, std::to_string(twins) + " viewers show the identifier of " + shown +
                                                    ": cannot " + verb + " by it");
    if (!call(session_, toHost(found.front().identifier).c_str()))
        return show(ChatOverlay::Kind::Notice, std::string("could not ask the room to ") + verb + " " + shown);
    show(ChatOverlay::Kind::Notice, std::string("asked the room to ") + verb + " " + shown);
}

void MpvChat::kick(const std::string& who) { moderate(who, SetKick, "kick"); }
void MpvChat::voice(const std::string& who) { moderate(who, SetCancel, "give back the voice of"); }
void MpvChat::mute(const std::string& who) { moderate(who, SetWriteBlock, "mute"); }

bool MpvChat::syncing() const { return options_.sync && session_ && view_ && view_->live() && fileLoaded_; }

WatchSync::Player MpvChat::player() const {
    WatchSync::Player p;
    p.paused = paused_;
    double position = 0;
    if (mpv_get_property(mpv_, "time-pos", MPV_FORMAT_DOUBLE, &position) >= 0 && std::isfinite(position))
        p.position = position;
    p.duration = duration_;
    return p;
}

void MpvChat::sendControl(const std::string& body) {
    SetChatMessage(session_, toHost(body).c_str());
    print("watch: sent " + body);
}

void MpvChat::applyFromRoom(const std::string& body) {
    if (!options_.sync || !fileLoaded_) return;
    applyReply(sync_.remote(body, player(), now()));
}

void MpvChat::applyReply(const WatchSync::Reply& r) {
    if (!r.log.empty()) print("watch: " + r.log);
    // Paused before the seek, so that the picture stops at the place; the
    // seek before playing on, so that it starts from there.
    if (r.setPause && r.pause) mpv_set_property_string(mpv_, "pause", "yes");
    if (r.seek) {
        const std::string to = std::to_string(r.position);
        const char* cmd[] = {"seek", to.c_str(), "absolute+exact", nullptr};
        mpv_command(mpv_, cmd);
    }
    if (r.setPause && !r.pause) mpv_set_property_string(mpv_, "pause", "no");
    if (!r.send.empty() && syncing()) sendControl(r.send);
}

void MpvChat::maybeAsk() {
    if (asked_ || !syncing()) return;
    asked_ = true;
    sendControl(sync_.ask(now()));
}

}  // namespace mpvchat

// The plugin's entry point: mpv calls it on a thread of its own and unloads
// the plugin when it returns.
extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle* mpv) {
    try {
        mpvchat::MpvChat chat(mpv);
        return chat.run();
    } catch (...) {
        return -1;
    }
}
