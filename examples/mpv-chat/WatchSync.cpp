#include "WatchSync.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mpvchat {

namespace {

constexpr std::string_view kPrefix = "ca:watch/";
constexpr double kEchoSeconds = 2;       // how long an applied change is expected back from the player
constexpr double kAskSeconds = 10;       // how long an answer to our question is taken
constexpr double kLengthSeconds = 10;    // how long a position waits for the file's length
// Nearer than this, no seek: a paused picture is put on the very place; a
// playing one is not made to jump for less than it would lose seeking.
constexpr double kSamePaused = 0.04, kSamePlaying = 0.15;
bool alreadyThere(double position, bool pause, const WatchSync::Player& player) {
    return std::fabs(position - player.position) < (pause ? kSamePaused : kSamePlaying);
}
constexpr std::size_t kLongest = 64;

// "123.456": up to nine digits, then at most three decimals.
bool parsePosition(std::string_view s, double& out) {
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
    if (whole.empty() || whole.size() > 9 || (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 3)))
        return false;
    double value = 0, scale = 1;
    for (char c : whole) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    for (char c : fraction) {
        if (c < '0' || c > '9') return false;
        scale /= 10;
        value += (c - '0') * scale;
    }
    out = value;
    return true;
}

// Splits at single spaces; at most four words.
int words(std::string_view s, std::string_view (&out)[4]) {
    int n = 0;
    while (!s.empty()) {
        if (n == 4) return 5;
        const std::size_t sp = s.find(' ');
        out[n++] = s.substr(0, sp);
        s = sp == std::string_view::npos ? std::string_view() : s.substr(sp + 1);
    }
    return n;
}

// A printable copy of a body for the log.
std::string quoted(std::string_view body) {
    std::string out = "\"";
    for (char c : body.substr(0, kLongest)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (body.size() > kLongest) out += "...";
    return out + "\"";
}

}  // namespace

bool WatchSync::Budget::take(double now) {
    tokens = std::min(burst, tokens + (now - at) * perSecond);
    at = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

std::string WatchSync::format(const char* verb, double position) {
    char text[64];
    std::snprintf(text, sizeof text, "ca:watch/1 %s %.3f", verb, std::max(0.0, position));
    return text;
}

std::string WatchSync::localPause(bool paused, double position, double now) {
    if (now < expectPauseUntil_ && paused == expectPause_) {
        expectPauseUntil_ = -1;
        return {};
    }
    return format(paused ? "pause" : "play", position);
}

std::string WatchSync::localSeek(bool paused, double position, double now) {
    if (now < expectSeekUntil_ && std::fabs(position - expectSeekTo_) < 0.5) {
        expectSeekUntil_ = -1;
        return {};
    }
    return format(paused ? "pause" : "play", position);
}

std::string WatchSync::ask(double now) {
    askingUntil_ = now + kAskSeconds;
    return "ca:watch/1 ask";
}

void WatchSync::seekTo(double position, bool pause, const Player& player, double now, Reply& r) {
    if (alreadyThere(position, pause, player)) return;
    r.seek = true;
    r.position = position;
    expectSeekTo_ = position;
    expectSeekUntil_ = now + kEchoSeconds;
}

WatchSync::Reply WatchSync::applyState(bool pause, double position, const Player& player, double now, bool answer) {
    Reply r;
    // What came last decides: a position still waiting is older.
    waiting_.reset();
    if (player.duration <= 0) {
        // mpv may tell the length a moment after the file has loaded.
        waiting_ = Waiting{pause, answer, position, now};
        r.log = "the file's length is not known yet: the room's position waits for it";
    } else {
        seekTo(position, pause, player, now, r);
    }
    if (pause != player.paused) {
        r.setPause = true;
        r.pause = pause;
        expectPause_ = pause;
        expectPauseUntil_ = now + kEchoSeconds;
    }
    return r;
}

WatchSync::Reply WatchSync::lengthKnown(const Player& player, double now) {
    Reply r;
    if (!waiting_ || player.duration <= 0) return r;
    const Waiting w = *waiting_;
    waiting_.reset();
    char what[48];
    std::snprintf(what, sizeof what, "%s at %.3f", w.pause ? "pause" : "play", w.position);
    if (now - w.since > kLengthSeconds) {
        r.log = std::string("the file's length came too late for the room's position (") + what + ")";
    } else if (w.position > player.duration) {
        r.log = std::string("ignored the room's position (") + what + "): beyond the end of the file";
    } else {
        // The pause went on at once; only the place waited. Playing, the
        // others have gone on meanwhile.
        const double position = w.pause ? w.position : std::min(player.duration, w.position + (now - w.since));
        seekTo(position, w.pause, player, now, r);
        r.log = std::string(w.answer ? "joined the others: " : "from the room: ") + what;
    }
    return r;
}

WatchSync::Reply WatchSync::remote(std::string_view body, const Player& player, double now) {
    Reply r;
    auto ignore = [&](const char* why) {
        r.log = "ignored the control message " + quoted(body) + ": " + why;
        return r;
    };
    if (body.size() > kLongest) return ignore("too long");
    if (body.substr(0, kPrefix.size()) != kPrefix) return ignore("not one for watching together");
    std::string_view w[4];
    const int n = words(body.substr(kPrefix.size()), w);
    if (n < 2 || n > 4) return ignore("malformed");
    if (w[0] != "1") return ignore("a version this player does not know");

    // Only what would be applied costs a command's token: answers to
    // another viewer's question, and questions, must not use up what a
    // real pause needs.
    double position = 0;
    if (w[1] == "ask" && n == 2) {
        if (!answers_.take(now)) return ignore("too many questions");
        r.send = format(player.paused ? "state pause" : "state play", player.position);
        return r;
    }
    const bool state = w[1] == "state";
    const std::string_view verb = state ? w[2] : w[1];
    const std::string_view where = state ? w[3] : w[2];
    if (n != (state ? 4 : 3) || (verb != "pause" && verb != "play")) return ignore("malformed");
    if (!parsePosition(where, position)) return ignore("not a position");
    if (player.duration > 0 && position > player.duration) return ignore("beyond the end of the file");
    if (state && now >= askingUntil_) return r;  // an answer to someone else's question
    // A command that leaves the player as it is costs nothing: else one
    // viewer could spend the others' budget unseen.
    const bool pause = verb == "pause";
    const bool changes = player.duration <= 0 || pause != player.paused || !alreadyThere(position, pause, player);
    if (changes && !commands_.take(now)) return ignore("too many in a row");
    if (state) askingUntil_ = -1;
    const std::string what = std::string(state ? "joined the others: " : "from the room: ") + std::string(verb) +
                             " at " + std::string(where);
    if (!changes) {
        r.log = what + " (as it was)";
        return r;
    }
    Reply applied = applyState(pause, position, player, now, state);
    if (applied.log.empty()) applied.log = what;
    return applied;
}

}  // namespace mpvchat
